// The native-interface handles and the loading of a plug-in (the test
// plug-in built beside the tests).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "kiv/Log.h"
#include "kiv/NativeInterface.h"
#include "kiv/TempFolder.h"

namespace {

std::string CallText(EXOHandle library, const char* function, const std::vector<const char*>& arguments) {
  EXOHandle name = Kiv::EXOAllocString(function);
  EXOHandle args = Kiv::EXOAllocArray(int32_t(arguments.size()));
  for (size_t i = 0; i < arguments.size(); ++i) {
    EXOHandle s = Kiv::EXOAllocString(arguments[i]);
    EXPECT_TRUE(Kiv::EXOSetArrayElement(args, int32_t(i), s));
    Kiv::EXORelease(s);
  }
  EXOHandle result = Kiv::EXOCallLibraryFunction(library, name, args);
  Kiv::EXORelease(name);
  Kiv::EXORelease(args);
  std::string text = "<none>";
  if (Kiv::EXOGetObjectClass(result) == Kiv::kEXOClassString) text = Kiv::EXOGetStringText(result);
  Kiv::EXORelease(result);
  return text;
}

TEST(NativeInterface, HandlesHoldTextsAndElements) {
  EXOHandle s = Kiv::EXOAllocString("abc");
  EXOHandle n = Kiv::EXOAllocString(nullptr);
  EXPECT_EQ(Kiv::EXOGetObjectClass(s), Kiv::kEXOClassString);
  EXPECT_STREQ(Kiv::EXOGetStringText(s), "abc");
  EXPECT_EQ(Kiv::EXOGetStringText(n), nullptr);
  EXOHandle a = Kiv::EXOAllocArray(2);
  EXPECT_EQ(Kiv::EXOGetObjectClass(a), Kiv::kEXOClassArray);
  EXPECT_EQ(Kiv::EXOGetStringText(a), nullptr);
  EXPECT_TRUE(Kiv::EXOSetArrayElement(a, 0, s));
  EXPECT_TRUE(Kiv::EXOSetArrayElement(a, 0, s));  // the same again: still one reference held
  EXPECT_FALSE(Kiv::EXOSetArrayElement(a, 2, s));
  EXPECT_FALSE(Kiv::EXOSetArrayElement(a, -1, s));
  EXPECT_FALSE(Kiv::EXOSetArrayElement(s, 0, n));
  Kiv::EXORelease(s);  // the array keeps it
  EXPECT_STREQ(Kiv::EXOGetStringText(Kiv::EXOHost().getArrayElement(a, 0)), "abc");
  EXPECT_EQ(Kiv::EXOCallLibraryFunction(a, s, nullptr), nullptr);  // not a library
  Kiv::EXORelease(a);
  Kiv::EXORelease(n);
  Kiv::EXORelease(nullptr);
}

TEST(NativeInterface, OnlyPlainNamesLoad) {
  EXPECT_TRUE(Kiv::IsPluginName("echoplugin"));
  for (const char* bad : {"", ".", "..", "../echoplugin", "sub/echoplugin", "a\\b", "/tmp/x"})
    EXPECT_FALSE(Kiv::IsPluginName(bad)) << bad;
  std::vector<std::string> lines;
  const int id =
      Kiv::Log::Instance().AddListener([&](Kiv::LogLevel, std::string_view l) { lines.emplace_back(l); });
  EXPECT_EQ(Kiv::LoadNativeInterfaceLibrary(ROVANA_TEST_PLUGINS "/sub", "../echoplugin"), nullptr);
  EXPECT_EQ(Kiv::LoadNativeInterfaceLibrary(ROVANA_TEST_PLUGINS, "missing"), nullptr);
  Kiv::Log::Instance().RemoveListener(id);
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_NE(lines[0].find("refused plug-in name '../echoplugin'"), std::string::npos);
}

TEST(NativeInterface, APlugInIsInitialisedOnceAndAnswersCalls) {
  EXOHandle library = Kiv::LoadNativeInterfaceLibrary(ROVANA_TEST_PLUGINS, "echoplugin");
  ASSERT_NE(library, nullptr);
  EXPECT_EQ(Kiv::EXOGetObjectClass(library), Kiv::kEXOClassLibrary);
  EXPECT_EQ(CallText(library, "inits", {}), "1");
  EXPECT_EQ(CallText(library, "echo", {"a", nullptr, "", "b c"}), "a|<null>||b c");
  EXPECT_EQ(CallText(library, "nothing", {"x"}), "<none>");
  EXPECT_EQ(CallText(library, "inits", {}), "1");
  // A second load is a library of its own, initialised once itself.
  EXOHandle again = Kiv::LoadNativeInterfaceLibrary(ROVANA_TEST_PLUGINS, "echoplugin");
  ASSERT_NE(again, nullptr);
  EXPECT_EQ(CallText(again, "inits", {}), "1");
  Kiv::EXORelease(again);
  Kiv::EXORelease(library);
}

TEST(NativeInterface, AFileWithoutEntryPointIsNoPlugIn) {
  Kiv::TempFolder folder("native-interface-test");
  folder.Write("junk.so", "not a shared object");
  EXPECT_EQ(Kiv::LoadNativeInterfaceLibrary(folder.Root(), "junk"), nullptr);
}

}  // namespace

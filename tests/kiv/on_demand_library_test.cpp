// Libraries opened on first use: a library or function that is not there
// fails the load with a reason naming it, every time, and never crashes.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>
#include <vector>

#include "kiv/OnDemandLibrary.h"

namespace {

// The C library's own functions, found by name like any other library's.
#define MATH_FUNCTIONS(X) \
  X(cos)                  \
  X(floor)

KIV_ON_DEMAND_FUNCTIONS(MathFunctions, Math, "libm.so.6", MATH_FUNCTIONS)

TEST(OnDemandLibrary, LoadsOnceAndFindsEveryFunctionInOrder) {
  Kiv::OnDemandLibrary library("libm.so.6", {"floor", "cos"});
  EXPECT_EQ(library.Function(0), nullptr);  // nothing before the load
  std::vector<std::thread> threads;
  std::vector<char> loaded(8, 0);
  for (std::size_t i = 0; i < loaded.size(); ++i)
    threads.emplace_back([&, i] { loaded[i] = library.Load(); });
  for (std::thread& t : threads) t.join();
  for (char ok : loaded) EXPECT_TRUE(ok);
  EXPECT_TRUE(library.Error().empty());
  EXPECT_EQ(library.Function<double (*)(double)>(0)(2.5), 2.0);
  EXPECT_EQ(library.Function<double (*)(double)>(1)(0.0), 1.0);
  EXPECT_EQ(library.Function(2), nullptr);

  std::string why;
  const MathFunctions* math = Math(why);
  ASSERT_NE(math, nullptr);
  EXPECT_EQ(math->floor(-0.5), -1.0);
  EXPECT_EQ(&Math(), math);
}

TEST(OnDemandLibrary, AMissingLibraryOrFunctionFailsWithItsName) {
  Kiv::OnDemandLibrary missing(Kiv::BesideProgram("no_such_module.so"), {"Entry"});
  EXPECT_FALSE(missing.Load());
  EXPECT_FALSE(missing.Load());  // the same answer again, without a retry
  EXPECT_NE(missing.Error().find("no_such_module.so"), std::string::npos) << missing.Error();
  EXPECT_EQ(missing.Function(0), nullptr);

  Kiv::OnDemandLibrary partial("libm.so.6", {"cos", "no_such_function"});
  EXPECT_FALSE(partial.Load());
  EXPECT_NE(partial.Error().find("no_such_function"), std::string::npos) << partial.Error();
  EXPECT_EQ(partial.Function(0), nullptr);  // none of the table, not half of it
}

}  // namespace

// The script image beyond what the corpus script prints: which operations
// count as changes, failures that must keep the pixels, loading image files
// and the natives' refusals.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>

#include "gamescript/runtime/Objects.h"
#include "kiv/Bitmap.h"
#include "kiv/TempFolder.h"
#include "scriptlib/GSOImage.h"
#include "scriptlib/ScriptNatives.h"

using namespace GSRuntime;

namespace {

struct ImageTest : ::testing::Test {
  void SetUp() override {
    ASSERT_TRUE(RegisterScriptNatives()) << ScriptLibrariesFolder();
    ASSERT_NE(ScriptClasses().image, nullptr);
  }
  GSContext context;
};

bool EveryPixelIs(const Kiv::Bitmap& bitmap, uint32_t argb) {
  for (int y = 0; y < bitmap.Height(); ++y)
    for (int x = 0; x < bitmap.Width(); ++x)
      if (bitmap.GetPixel(x, y) != argb) return false;
  return true;
}

}  // namespace

TEST_F(ImageTest, ChangesAreCountedOnlyWhenTheImageCanChange) {
  GSOImage* image = GSOImage::Create(&context);
  ASSERT_NE(image, nullptr);
  EXPECT_EQ(image->LineColor(), 0xFFFFFFFFu);
  EXPECT_EQ(image->FillColor(), 0u);
  image->DrawLine(0, 0, 3, 3);
  image->DrawText(0, 0, "x");
  image->Resize(0, 0, false);
  EXPECT_EQ(image->ChangeCount(), 0u) << "nothing to draw on, and the size did not change";
  image->Clear(0, 10);
  EXPECT_EQ(image->ChangeCount(), 1u) << "Clear counts even when it leaves no pixels";
  EXPECT_EQ(image->Bitmap(), nullptr);

  image->SetFillColor(Kiv::Bitmap::PackColor(0.25f, 0.5f, 0.75f, 1.0f));
  image->Clear(37, 23);
  ASSERT_NE(image->Bitmap(), nullptr);
  EXPECT_TRUE(EveryPixelIs(*image->Bitmap(), 0xFF4080BFu));
  const uint32_t changes = image->ChangeCount();
  image->Resize(37, 23, true);
  EXPECT_EQ(image->ChangeCount(), changes);
  image->Resize(3, 2, false);
  EXPECT_EQ(image->ChangeCount(), changes + 1);
  EXPECT_TRUE(EveryPixelIs(*image->Bitmap(), 0xFF4080BFu));
  // Resize of an image without pixels behaves as Clear: new pixels in the fill colour.
  image->Clear(0, 0);
  image->Resize(2, 5, true);
  ASSERT_NE(image->Bitmap(), nullptr);
  EXPECT_EQ(image->Width(), 2);
  EXPECT_TRUE(EveryPixelIs(*image->Bitmap(), 0xFF4080BFu));
  ReleaseHandle(image->GetScriptHandle());
}

TEST_F(ImageTest, ASizeThatCannotBeMadeFailsWithoutLosingPixels) {
  GSOImage* image = GSOImage::Create(&context);
  image->SetFillColor(0xFF00FF00u);
  image->Clear(4, 4);
  const uint32_t changes = image->ChangeCount();
  for (const auto& [w, h] : {std::pair{65536, 65536}, {16385, 16385}, {2147483647, 2147483647}, {4, 16385}}) {
    image->Resize(w, h, true);
    ASSERT_NE(image->Bitmap(), nullptr) << w << " x " << h;
    EXPECT_EQ(image->Width(), 4);
    EXPECT_TRUE(EveryPixelIs(*image->Bitmap(), 0xFF00FF00u));
  }
  EXPECT_EQ(image->ChangeCount(), changes);
  image->Clear(2147483647, 2);
  EXPECT_EQ(image->Bitmap(), nullptr);
  ReleaseHandle(image->GetScriptHandle());
}

TEST_F(ImageTest, CopiesBlendBySourceAlphaAndRefuseSelfCopiesOfAnotherSize) {
  GSOImage* target = GSOImage::Create(&context);
  GSOImage* source = GSOImage::Create(&context);
  target->SetFillColor(0xFF000000u);
  target->Clear(6, 6);
  source->SetFillColor(0x00FFFFFFu);  // fully transparent: leaves the target
  source->Clear(3, 3);
  source->SetLineColor(0xFFFF0000u);
  source->DrawPoint(1, 1);
  target->DrawImage(2, 2, 3, 3, source, 0, 0, 3, 3);
  EXPECT_EQ(target->Bitmap()->GetPixel(3, 3), 0xFFFF0000u);
  EXPECT_EQ(target->Bitmap()->GetPixel(2, 2), 0xFF000000u);
  // A source part given with reversed corners is empty.
  target->DrawImage(0, 0, 3, 3, source, 3, 3, 0, 0);
  EXPECT_EQ(target->Bitmap()->GetPixel(1, 1), 0xFF000000u);

  const Kiv::Bitmap before = *target->Bitmap();
  const uint32_t changes = target->ChangeCount();
  target->DrawImage(1, 0, 6, 5, target, 0, 0, 6, 6);
  EXPECT_EQ(target->Bitmap()->DataSize(), before.DataSize());
  EXPECT_EQ(std::memcmp(target->Bitmap()->Data(), before.Data(), before.DataSize()), 0);
  EXPECT_EQ(target->ChangeCount(), changes);
  // At the same size the copy reads the pixels as they were before it.
  target->DrawImage(1, 1, 6, 6, target, 0, 0, 6, 6);
  EXPECT_EQ(target->Bitmap()->GetPixel(4, 4), 0xFFFF0000u);
  EXPECT_EQ(target->Bitmap()->GetPixel(3, 3), 0xFF000000u);
  target->DrawImage(0, 0, 3, 3, nullptr, 0, 0, 3, 3);
  EXPECT_EQ(target->ChangeCount(), changes + 1);
  ReleaseHandle(target->GetScriptHandle());
  ReleaseHandle(source->GetScriptHandle());
}

TEST_F(ImageTest, TextNeedsAFontAndPixels) {
  GSOImage* image = GSOImage::Create(&context);
  image->Clear(64, 32);
  const uint32_t changes = image->ChangeCount();
  image->SetTextFont("swiss", 100000);  // no cell that large: no font
  EXPECT_EQ(image->MeasureTextWidth("abc"), 0);
  image->DrawText(0, 0, "abc");
  EXPECT_EQ(image->ChangeCount(), changes);
  EXPECT_TRUE(EveryPixelIs(*image->Bitmap(), 0u));
  image->SetTextFont("DejaVu Sans", 14);
  EXPECT_GT(image->MeasureTextWidth("abc"), 0);
  image->DrawText(2, 2, "abc");
  EXPECT_EQ(image->ChangeCount(), changes + 1);
  EXPECT_FALSE(EveryPixelIs(*image->Bitmap(), 0u));
  ReleaseHandle(image->GetScriptHandle());
}

TEST_F(ImageTest, LoadImageReadsFilesIntoThe32BitLayoutOrGivesNull) {
  Kiv::TempFolder folder("image-test");
  Kiv::Bitmap gray;
  ASSERT_TRUE(gray.Create(3, 2, Kiv::Bitmap::FormatGray8));
  gray.Data()[4] = 200;
  ASSERT_TRUE(gray.Save(folder.Root() + "/gray.png"));
  GSOImage* image = GSOImage::LoadImage(&context, folder.Root(), "gray.png");
  ASSERT_NE(image, nullptr);
  ASSERT_EQ(image->Bitmap()->GetFormat(), Kiv::Bitmap::FormatRGBA32);
  EXPECT_EQ(image->Width(), 3);
  EXPECT_EQ(image->Bitmap()->GetPixel(1, 1), 0xFFC8C8C8u);
  EXPECT_EQ(image->Bitmap()->GetPixel(0, 0), 0xFF000000u);
  ReleaseHandle(image->GetScriptHandle());

  folder.Write("broken.png", std::string("\x89PNG\r\n\x1a\n not really", 19));
  EXPECT_EQ(GSOImage::LoadImage(&context, folder.Root(), "broken.png"), nullptr);
  EXPECT_EQ(GSOImage::LoadImage(&context, folder.Root(), "missing.png"), nullptr);
}

#include <gtest/gtest.h>

#include <memory>

#include "graphics/mesh/RovanaTextureResource.h"
#include "kiv/TextureResource.h"
#include "umbclient/ContentFolders.h"

namespace {

// A texture kept alive by the test's own reference, to see what the holder does to it.
Kiv::Ref<Kiv::TextureResource> NewTexture() {
  return Kiv::Ref<Kiv::TextureResource>(new Kiv::AsciiTextureResource("wall.texture.txt", "/tmp/holder"));
}

TEST(RovanaTextureResource, ReleasesTextureBeforeFolder) {
  LinkedListHead<AutoReleasingResource> head;
  const Kiv::Ref<Kiv::TextureResource> texture = NewTexture();
  {
    RovanaTextureResource holder(head);
    EXPECT_EQ(head.First(), &holder.Node());
    EXPECT_FALSE(holder.HoldTexture(texture.Get()));  // no folder yet
    ASSERT_TRUE(holder.HoldFolder("", "/tmp/holder"));
    ContentFolder* folder = holder.Folder();
    const int folderRefs = folder->RefCount();
    ASSERT_TRUE(holder.HoldTexture(texture.Get()));
    EXPECT_EQ(texture->GetReferenceCount(), 2);
    EXPECT_EQ(holder.TextureName(), Kiv::PString("wall.texture.txt"));

    holder.ReleaseFolder();
    EXPECT_EQ(holder.Texture(), nullptr);
    EXPECT_EQ(texture->GetPriority(), 0.0f);
    EXPECT_TRUE(holder.TextureName().IsEmpty());
    EXPECT_EQ(folder->RefCount(), folderRefs - 1);
    EXPECT_FALSE(holder.IsFolderOpen());
  }
  EXPECT_TRUE(head.IsEmpty());
  EXPECT_EQ(texture->GetReferenceCount(), 1);
}

TEST(RovanaTextureResource, ReleaseThenDestroyAndHeadFirst) {
  const Kiv::Ref<Kiv::TextureResource> texture = NewTexture();
  auto head = std::make_unique<LinkedListHead<AutoReleasingResource>>();
  auto holder = std::make_unique<RovanaTextureResource>(*head);
  ASSERT_TRUE(holder->HoldFolder("", "/tmp/holder"));
  ASSERT_TRUE(holder->HoldTexture(texture.Get()));
  // The list's Release drops the texture; destroying the holder after it
  // touches the texture no more.
  holder->Release();
  EXPECT_EQ(holder->Texture(), nullptr);
  texture->SetPriority(1.0f);
  // The head goes first: the holder is detached, and its destruction later
  // does not reach the head.
  head.reset();
  EXPECT_FALSE(holder->IsLinked());
  holder.reset();
  EXPECT_EQ(texture->GetPriority(), 1.0f);
  EXPECT_EQ(texture->GetReferenceCount(), 1);
}

}  // namespace

// Texture conversions take turns on the memory for the images they load.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "graphics/texture/ImageMemory.h"

TEST(ImageMemory, LoadsWaitForRoomAndOneAlwaysGoesAhead) {
  ImageMemory memory(100);
  ImageMemory::Share first(memory), second(memory), third(memory);
  first.Take(150);  // more than all of it, but nothing else is held
  first.Take(50);   // a share that holds some never waits for itself
  std::atomic<bool> taken{false};
  std::thread waiter([&] {
    second.Take(60);
    taken = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(taken) << "went ahead while the memory was held";
  first.Release();
  waiter.join();
  third.Take(40);  // fits beside the 60 held: no wait
  EXPECT_TRUE(taken);
}

#pragma once
// The memory that texture conversions take for the images they load, shared
// by every conversion in the process. A conversion whose image would not fit
// beside what the others hold waits until they give theirs back, so a folder
// of many large images does not take the machine's memory; one image always
// goes ahead when none is held, however large it is.
#include <condition_variable>
#include <cstdint>
#include <mutex>

class ImageMemory {
public:
  explicit ImageMemory(uint64_t budget) : m_budget(budget) {}
  ImageMemory(const ImageMemory&) = delete;
  ImageMemory& operator=(const ImageMemory&) = delete;

  // The process's: a quarter of the machine's memory.
  static ImageMemory& Process();
  // What loading an image of that size holds at its peak: its pixels at
  // four bytes each, twice (the decoder's output beside the file or its
  // inflated data).
  static uint64_t LoadBytes(int width, int height);

  // One conversion's part; given back when released or destroyed.
  class Share {
  public:
    explicit Share(ImageMemory& memory) : m_memory(memory) {}
    ~Share() { Release(); }
    Share(const Share&) = delete;
    Share& operator=(const Share&) = delete;
    // Adds bytes to the share. A share that holds nothing first waits until
    // they fit or nothing is held; one that holds some takes them at once,
    // since it would otherwise wait for itself.
    void Take(uint64_t bytes);
    void Release();

  private:
    ImageMemory& m_memory;
    uint64_t m_bytes = 0;
  };

private:
  std::mutex m_mutex;
  std::condition_variable m_given;
  const uint64_t m_budget;
  uint64_t m_held = 0;
};

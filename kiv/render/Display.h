#pragma once
// The headless display: nothing is drawn and no device exists. Every request
// made of it is recorded in order, so tests can check what the program asked.
#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>
#include <vector>

namespace Kiv {

struct DisplayRequest {
  std::string operation;
  std::vector<float> values;
};

class Display {
public:
  Display() = default;
  virtual ~Display() = default;
  Display(const Display&) = delete;
  Display& operator=(const Display&) = delete;

  // A line from one point to another, with a colour or width value.
  virtual void DrawLine(const float from[3], const float to[3], float value, uint16_t kind, uint16_t flags);

  // A copy of the requests made so far, oldest first.
  std::vector<DisplayRequest> Requests() const;
  void ClearRequests();

protected:
  void Record(std::string operation, std::initializer_list<float> values);

private:
  mutable std::mutex m_mutex;
  std::vector<DisplayRequest> m_requests;
};

// The process's display (headless).
Display& HeadlessDisplay();

// A view onto a display. Primitives handed to it go to its display.
class Viewport {
public:
  explicit Viewport(Display& display) : m_display(&display) {}
  virtual ~Viewport() = default;
  Viewport(const Viewport&) = delete;
  Viewport& operator=(const Viewport&) = delete;

  // One line primitive: two points, a value and a (kind, flags) pair.
  struct Primitive {
    float from[3];
    float to[3];
    float value;
    uint16_t kind;
    uint16_t flags;
  };

  virtual bool IsActive() { return true; }
  virtual void Submit(const Primitive& primitive);
  Display& GetDisplay() const { return *m_display; }

private:
  Display* m_display;
};

// The viewport the engine draws debug output through; the default one (over
// the headless display) until another is installed.
Viewport*& CurrentViewport();
Viewport& DefaultViewport();

}  // namespace Kiv

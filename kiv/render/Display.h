#pragma once
// The headless display: nothing is drawn and no device exists. Every request
// made of it is recorded in order, so tests can check what the program asked.
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace Kiv {

struct DisplayRequest {
  std::string operation;
  std::vector<float> values;
};

// A vertex or index buffer of the display: only its size and state.
struct DisplayBuffer {
  bool vertex = true;
  uint32_t count = 0;       // vertices or indices it holds
  uint32_t vertexType = 0;  // vertex buffers only
  bool dirty = true;        // data not yet uploaded
  uint32_t uploads = 0;
};

class Display {
public:
  Display() = default;
  virtual ~Display() = default;
  Display(const Display&) = delete;
  Display& operator=(const Display&) = delete;

  // A line from one point to another, with a colour or width value.
  virtual void DrawLine(const float from[3], const float to[3], float value, uint16_t kind, uint16_t flags);

  // Capability queries (the engine's numbered device features); all false
  // until set.
  bool HasCapability(int capability) const;
  void SetCapability(int capability, bool on);

  // Colours as the device wants them; the identity here.
  virtual void ConvertColorArray(uint32_t* colours, size_t count) { (void)colours, (void)count; }

  // Buffers and their upload (the buffer manager). Null or false when the
  // matching failure is injected.
  virtual std::shared_ptr<DisplayBuffer> CreateVertexBuffer(uint32_t count, uint32_t vertexType);
  virtual std::shared_ptr<DisplayBuffer> CreateIndexBuffer(uint32_t count);
  virtual bool Upload(DisplayBuffer& buffer, const void* data, size_t bytes);
  // Test seams: failures of buffer creation and of uploads, by buffer kind.
  void InjectBufferFailure(bool vertex, bool index);
  void InjectUploadFailure(bool vertex, bool index);

  // A copy of the requests made so far, oldest first.
  std::vector<DisplayRequest> Requests() const;
  void ClearRequests();

protected:
  void Record(std::string operation, std::initializer_list<float> values);

private:
  mutable std::mutex m_mutex;
  std::vector<DisplayRequest> m_requests;
  std::set<int> m_capabilities;
  bool m_failVertexBuffer = false, m_failIndexBuffer = false;
  bool m_failVertexUpload = false, m_failIndexUpload = false;
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

#pragma once
// The process's debug viewport: lines drawn through it are packed into one
// primitive each and submitted to its display (the headless display records
// them). While it exists it is the current viewport.
#include "kiv/render/Display.h"

class RVDebugVp : public Kiv::Viewport {
public:
  explicit RVDebugVp(Kiv::Display& display = Kiv::HeadlessDisplay());
  // Points the current viewport back at the default one.
  ~RVDebugVp() override;

  // A line from one point to another with a value, as primitive kind 0, flags 1.
  void Draw(const float from[3], const float to[3], float value);

  // The process's instance, made on first use.
  static RVDebugVp& Instance();
};

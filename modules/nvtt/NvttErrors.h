#pragma once
// The compressor's error text for the job that runs it.
#include <string>

#include <nvtt/nvtt.h>

class OurErrorHandler final : public nvtt::ErrorHandler {
public:
  explicit OurErrorHandler(std::string& text) : m_text(text) {}
  void error(nvtt::Error e) override {
    const char* text = nvtt::errorString(e);
    m_text = text ? text : "unknown texture compression error";
  }

private:
  std::string& m_text;
};

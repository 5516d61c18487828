// A temporary folder tree for umbclient tests, removed when the test ends.
#pragma once

#include <map>
#include <string>

#include "foundation/Soup.h"
#include "kiv/File.h"
#include "kiv/TempFolder.h"

class TempTree : public Kiv::TempFolder {
public:
  TempTree() : Kiv::TempFolder("umbclient-test") {}

  void WriteFile(const std::string& relative, const std::string& bytes) const { Write(relative, bytes); }
  void WriteSoup(const std::string& relative, const SoupRef& soup) const {
    std::string text;
    EXPECT_TRUE(WriteSoupText(soup, text));
    WriteFile(relative, text);
  }

  // Every file below the root with its bytes: a failing step must leave this unchanged.
  std::map<std::string, std::string> Snapshot() const {
    std::map<std::string, std::string> out;
    Walk(Root(), out);
    return out;
  }

private:
  static void Walk(const std::string& folder, std::map<std::string, std::string>& out) {
    Kiv::File::Find find(folder + "/*");
    while (find.Next()) {
      std::string path = folder + "/" + find.Name();
      if (find.IsDirectory()) {
        Walk(path, out);
      } else {
        std::string bytes;
        EXPECT_TRUE(Kiv::File::ReadWholeFile(path, bytes));
        out[path] = bytes;
      }
    }
  }
};

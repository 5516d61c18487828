#pragma once
// A user-data folder of generated assets for the asset-database benchmarks:
// "<root>/user/local/a<i>/config.txt" for each asset, and "<root>/user/settings".
#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <string>

#include "foundation/Soup.h"
#include "kiv/File.h"
#include "kiv/TempFolder.h"

struct BenchAssetTree {
  // describe(i, config) adds the tags of asset i beside its "kuid".
  BenchAssetTree(const char* name, int count, const std::function<KUID(int)>& kuidOf,
                 const std::function<void(int, SoupRef&)>& describe)
      : temp(name), root(temp.Root()) {
    // Set-up of the measured data, known to work.
    (void)Kiv::File::CreateDirectories(root + "/user/local");
    for (int i = 0; i < count; ++i) {
      SoupRef c = SoupRef::NewContainer();
      c.SetNamedTagKUID("kuid", kuidOf(i));
      describe(i, c);
      const std::string folder = root + "/user/local/a" + std::to_string(i);
      // Plain system calls: the case-insensitive create of the file layer looks through
      // the thousands of siblings for each new name, and its atomic replace syncs every
      // file; both only slow the set-up.
      ::mkdir(folder.c_str(), 0755);
      std::string text;
      // Set-up of the measured data, known to work.
      (void)WriteSoupText(c, text);
      if (std::FILE* f = std::fopen((folder + "/config.txt").c_str(), "wb")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
      }
    }
    // Set-up of the measured data, known to work.
    (void)Kiv::File::CreateDirectories(root + "/user/settings");
  }

  Kiv::TempFolder temp;
  std::string root;
};

// World-list save and load against plain sequential file I/O of the same
// bytes in the same run: 100,000 small records, and four records near the
// 16 MB record limit. Items reload in place, as the script context's list does.
// Prints, last, one line per figure: ours, reference, ratio (above 1: slower).

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/bench_report.h"
#include "foundation/Stream.h"
#include "kiv/File.h"
#include "scriptlib/WorldList.h"
#include "kiv/TempFolder.h"

namespace {

using BenchReport::Median;

constexpr uint32_t kType = WorldTypeCode('b', 'e', 'n', 'c');

class PayloadItem : public WorldListItem {
public:
  explicit PayloadItem(size_t size) : payload(size, 0x5A) {}
  uint32_t GetTypeCode() const override { return kType; }
  bool SaveRecord(TStream& s) override {
    return s.WriteBytes(payload.data(), payload.size()) == payload.size();
  }
  bool LoadRecord(TStream& s) override {
    payload.resize(static_cast<size_t>(s.GetLength()));
    return s.ReadBytes(payload.data(), payload.size()) == payload.size();
  }
  std::vector<uint8_t> payload;
};

struct Figure {
  std::string name;
  std::vector<double> ours, reference;  // MB/s per round
};

void ReadPlain(const std::string& path, std::vector<uint8_t>& buffer) {
  Kiv::File f;
  if (!f.Open(path, Kiv::File::Mode::Read)) std::abort();
  size_t done = 0;
  for (;;) {
    int64_t n = f.Read(buffer.data(), buffer.size());
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  if (done == 0) std::abort();
}

void Run(const std::string& dir, const char* label, size_t items, size_t payload,
         std::vector<Figure>& figures) {
  WorldList list;
  for (size_t i = 0; i < items; ++i) {
    std::unique_ptr<WorldListItem> item = std::make_unique<PayloadItem>(payload);
    list.Add(item);
  }
  const std::string path = dir + "/list.bin";
  const std::string plainPath = dir + "/plain.bin";
  Figure saveFig{std::string("world list save, ") + label + ", to a file, vs a plain write", {}, {}};
  Figure loadFig{std::string("world list load, ") + label + ", from a file, vs a plain read", {}, {}};
  std::vector<uint8_t> chunk(1 << 16);
  for (int round = 0; round < 5; ++round) {
    const double save = BenchReport::Seconds([&] {
      TFile out;
      if (!out.Open(path, kFileWrite) || !list.Save(out, 0, 0)) std::abort();
    });
    const size_t bytes = static_cast<size_t>(Kiv::File::FileSize(path));
    std::vector<uint8_t> saved;
    if (!Kiv::File::ReadWholeFile(path, saved)) std::abort();
    const double write = BenchReport::Seconds([&] {
      Kiv::File out;
      if (!out.Open(plainPath, Kiv::File::Mode::Write) ||
          out.Write(saved.data(), saved.size()) != static_cast<int64_t>(saved.size()))
        std::abort();
    });
    const double read = BenchReport::Seconds([&] { ReadPlain(path, chunk); });
    const double load = BenchReport::Seconds([&] {
      TFile in;
      if (!in.Open(path, kFileRead)) std::abort();
      list.Load(in, false, 0);
    });
    if (list.ItemCount() != items) std::abort();
    const double mb = static_cast<double>(bytes) / 1e6;
    saveFig.ours.push_back(mb / save);
    saveFig.reference.push_back(mb / write);
    loadFig.ours.push_back(mb / load);
    loadFig.reference.push_back(mb / read);
  }
  for (Figure* f : {&saveFig, &loadFig}) figures.push_back(*f);
}

}  // namespace

int main(int argc, char** argv) {
  const bool smallOnly = argc > 1 && std::string(argv[1]) == "small";  // for profiling
  const Kiv::TempFolder temp("worldlistbench");
  if (temp.Root().empty()) return 1;
  const std::string& dir = temp.Root();
  std::vector<Figure> figures;
  Run(dir, "100,000 records of 16 bytes", 100000, 16, figures);
  if (!smallOnly) Run(dir, "4 records of 16,000,000 bytes", 4, 16000000, figures);
  for (const Figure& f : figures) {
    auto [lo, hi] = std::minmax_element(f.ours.begin(), f.ours.end());
    char note[96];
    std::snprintf(note, sizeof note, "(median of 5 rounds, ours %.0f-%.0f MB/s)", *lo, *hi);
    BenchReport::Figure(f.name.c_str(), Median(f.ours), Median(f.reference), "MB/s", note);
  }
  return 0;
}

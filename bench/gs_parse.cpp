// GameScript scanner and parser throughput on a generated 50,000-line source,
// against "luac5.4 -p" on a generated Lua source of the same token count, timed
// in the same run. Prints tokens per second of each and the ratio (above 1.0:
// ours is faster).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#ifdef __GLIBC__
#include <malloc.h>
#endif
#include <string>
#include <unistd.h>
#include <vector>

#include "gamescript/compiler/ParseContext.h"
#include "gamescript/compiler/Parser.h"
#include "gamescript/compiler/Scanner.h"

namespace {

constexpr int kLines = 50000;

// The template with every "@" replaced by the number.
std::string Fill(const char* templ, int number)
{
    const std::string n = std::to_string(number);
    std::string out;
    for (const char* p = templ; *p; ++p) {
        if (*p == '@') out += n;
        else out += *p;
    }
    return out;
}

// One class per 16 lines.
std::string MakeGameScript()
{
    std::string s;
    s.reserve(kLines * 40);
    int lines = 0;
    for (int c = 0; lines + 16 <= kLines; ++c) {
        s += Fill("class C@ {\n"
                  "  public int count = 3;\n"
                  "  float ratio = 1.5;\n"
                  "  public int Step(int a, float b) {\n"
                  "    int i;\n"
                  "    for (i = 0; i < a; i++) {\n"
                  "      if (i % 2 == 0 and b > 0.5) count = count + i * 2;\n"
                  "      else count = count - 1;\n"
                  "    }\n"
                  "    string s = \"value \" + (string)count;\n"
                  "    ratio = ratio * 0.5 + (float)a;\n"
                  "    // a comment line\n"
                  "    return count;\n"
                  "  }\n"
                  "  public void Reset(void) { count = 0; ratio = 0.0; }\n"
                  "};\n",
                  c);
        lines += 16;
    }
    return s;
}

// Counts Lua tokens: names and keywords, numbers, strings, and operators
// (longest of "...", "..", "==", "~=", "<=", ">=", "//", "::", else one character).
size_t CountLuaTokens(const std::string& text)
{
    size_t n = 0;
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (std::isspace(c)) { ++i; continue; }
        if (c == '-' && i + 1 < text.size() && text[i + 1] == '-') {
            while (i < text.size() && text[i] != '\n') ++i;
            continue;
        }
        ++n;
        if (std::isalpha(c) || c == '_') {
            while (i < text.size() && (std::isalnum(static_cast<unsigned char>(text[i])) || text[i] == '_')) ++i;
        } else if (std::isdigit(c)) {
            while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) || text[i] == '.')) ++i;
        } else if (c == '"') {
            for (++i; i < text.size() && text[i] != '"'; ++i) {}
            ++i;
        } else if (text.compare(i, 3, "...") == 0) {
            i += 3;
        } else {
            static const char* two[] = {"..", "==", "~=", "<=", ">=", "//", "::"};
            size_t step = 1;
            for (const char* t : two)
                if (text.compare(i, 2, t) == 0) step = 2;
            i += step;
        }
    }
    return n;
}

// Lua functions of the same shape as the classes above, until the token count
// reaches `tokens`.
std::string MakeLua(size_t tokens)
{
    std::string s;
    std::string block;
    for (int c = 0;; ++c) {
        block = Fill("C@ = { count = 3, ratio = 1.5 }\n"
                     "function C@.Step(a, b)\n"
                     "  local i = 0\n"
                     "  for i = 0, a - 1 do\n"
                     "    if i % 2 == 0 and b > 0.5 then C@.count = C@.count + i * 2\n"
                     "    else C@.count = C@.count - 1 end\n"
                     "  end\n"
                     "  local s = \"value \" .. tostring(C@.count)\n"
                     "  C@.ratio = C@.ratio * 0.5 + a\n"
                     "  -- a comment line\n"
                     "  return C@.count\n"
                     "end\n"
                     "function C@.Reset() C@.count = 0 C@.ratio = 0.0 end\n",
                     c);
        s += block;
        if (c % 64 == 0 && CountLuaTokens(s) >= tokens) break;
    }
    return s;
}

size_t CountTokens(const std::string& text)
{
    GSCompiler::Scanner scanner(text.data(), text.size());
    size_t n = 0;
    while (scanner.Next() != 0) ++n;
    return n;
}

struct Inputs {
    std::string gs;
    size_t gsTokens = 0;
    std::string luaPath;
    size_t luaTokens = 0;
    double luaSeconds = 0;  // best of several "luac5.4 -p" runs
};

const Inputs& Data()
{
    static const Inputs inputs = [] {
        Inputs in;
        in.gs = MakeGameScript();
        in.gsTokens = CountTokens(in.gs);
        const std::string lua = MakeLua(in.gsTokens);
        in.luaTokens = CountLuaTokens(lua);
        in.luaPath = (std::filesystem::temp_directory_path() / Fill("gs_parse_bench_@.lua", int(getpid()))).string();
        std::ofstream(in.luaPath, std::ios::binary) << lua;
        std::string command = "luac5.4 -p '";
        command += in.luaPath;
        command += "'";
        in.luaSeconds = 1e9;
        for (int i = 0; i < 5; ++i) {
            const auto start = std::chrono::steady_clock::now();
            const int rc = std::system(command.c_str());
            const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
            if (rc != 0) {
                in.luaSeconds = 0;
                break;
            }
            in.luaSeconds = std::min(in.luaSeconds, took.count());
        }
        std::filesystem::remove(in.luaPath);
        return in;
    }();
    return inputs;
}

double LuaTokensPerSecond()
{
    const Inputs& in = Data();
    return in.luaSeconds > 0 ? double(in.luaTokens) / in.luaSeconds : 0;
}

void Report(benchmark::State& state, size_t tokens)
{
    state.counters["tokens/s"] = benchmark::Counter(double(tokens), benchmark::Counter::kIsIterationInvariantRate);
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(Data().gs.size()));
}

void BM_Scan(benchmark::State& state)
{
    const Inputs& in = Data();
    for (auto _ : state) benchmark::DoNotOptimize(CountTokens(in.gs));
    Report(state, in.gsTokens);
}

void BM_Parse(benchmark::State& state)
{
    const Inputs& in = Data();
    for (auto _ : state) {
        GSCompiler::ParseContext context;
        context.Reset(nullptr, nullptr);
        GSCompiler::Scanner scanner(in.gs.data(), in.gs.size());
        if (GSCompiler::Parse(scanner, context) != 0) state.SkipWithError("generated source did not parse");
        benchmark::DoNotOptimize(context.declarations);
    }
    Report(state, in.gsTokens);
}

void BM_LuacParse(benchmark::State& state)
{
    const Inputs& in = Data();
    if (in.luaSeconds <= 0) {
        state.SkipWithError("luac5.4 -p did not run");
        return;
    }
    for (auto _ : state) state.SetIterationTime(in.luaSeconds);
    state.counters["tokens/s"] = LuaTokensPerSecond();
}

BENCHMARK(BM_LuacParse)->UseManualTime()->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Scan)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Parse)->Unit(benchmark::kMillisecond);

// Times one pass of `work` over the source, best of five.
template <class Work>
double BestSeconds(Work work)
{
    double best = 1e9;
    for (int i = 0; i < 5; ++i) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count());
    }
    return best;
}

}  // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    const Inputs& in = Data();
    const auto ParseOnce = [&] {
        GSCompiler::ParseContext context;
        context.Reset(nullptr, nullptr);
        GSCompiler::Scanner scanner(in.gs.data(), in.gs.size());
        benchmark::DoNotOptimize(GSCompiler::Parse(scanner, context));
    };
    // The first parse of the process, before any tree was freed: every page
    // of the tree is fresh, as in a one-shot compile.
    const auto firstStart = std::chrono::steady_clock::now();
    ParseOnce();
    const std::chrono::duration<double> first = std::chrono::steady_clock::now() - firstStart;

    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();

    const double scan = BestSeconds([&] { benchmark::DoNotOptimize(CountTokens(in.gs)); });
    const double parse = BestSeconds(ParseOnce);
    const double lua = LuaTokensPerSecond();
    std::printf("GameScript source: %d lines, %zu tokens; Lua source: %zu tokens\n", kLines, in.gsTokens,
                in.luaTokens);
    if (lua <= 0) {
        std::printf("luac5.4 -p could not be run: no ratio\n");
        return 0;
    }
    std::printf("luac5.4 -p: %.3f ms, %.1f M tokens/s\n", in.luaSeconds * 1e3, lua / 1e6);
    std::printf("scan:       %.3f ms, %.1f M tokens/s, ratio %.2fx luac\n", scan * 1e3, in.gsTokens / scan / 1e6,
                (in.gsTokens / scan) / lua);
    std::printf("scan+parse: %.3f ms, %.1f M tokens/s, ratio %.2fx luac\n", parse * 1e3,
                in.gsTokens / parse / 1e6, (in.gsTokens / parse) / lua);
    std::printf("scan+parse, first in the process: %.3f ms, %.1f M tokens/s, ratio %.2fx luac\n",
                first.count() * 1e3, in.gsTokens / first.count() / 1e6, (in.gsTokens / first.count()) / lua);
#ifdef __GLIBC__
    // The tree is about 115 bytes per token of fresh memory, and first touches
    // of fresh pages cost a good part of the time above. For comparison only:
    // the same parse when the freed heap is kept mapped between runs.
    mallopt(M_TRIM_THRESHOLD, 1 << 30);
    mallopt(M_MMAP_THRESHOLD, 1 << 30);
    ParseOnce();
    const double warm = BestSeconds(ParseOnce);
    std::printf("scan+parse, heap kept mapped: %.3f ms, %.1f M tokens/s, ratio %.2fx luac\n", warm * 1e3,
                in.gsTokens / warm / 1e6, (in.gsTokens / warm) / lua);
#endif
    return 0;
}

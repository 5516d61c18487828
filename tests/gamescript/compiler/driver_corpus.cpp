#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "gamescript/compiler/Driver.h"

namespace fs = std::filesystem;
using namespace GSCompiler;

// Every ".gs" file of the driver corpus is compiled as a main file. Its comment
// lines "// result: N" and "// expect: <log line>" give the error count and the
// whole compile log, in order; "$DIR" stands for the corpus folder.
TEST(DriverCorpus, EachFileGivesItsExpectedLog)
{
    const fs::path dir = fs::path(ROVANA_SOURCE_DIR) / "tests/gamescript/compiler/corpus/driver";
    int files = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".gs") continue;
        ++files;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        std::istringstream lines(ss.str());
        std::string line;
        std::vector<std::string> expected;
        int result = -1;
        while (std::getline(lines, line)) {
            std::size_t at = line.find("// result: ");
            if (at != std::string::npos) result = std::stoi(line.substr(at + 11));
            at = line.find("// expect: ");
            if (at == std::string::npos) continue;
            std::string text = line.substr(at + 11);
            if (std::size_t d = text.find("$DIR"); d != std::string::npos) text.replace(d, 4, dir.string());
            expected.push_back(text);
        }
        ASSERT_GE(result, 0) << entry.path() << " has no result line";

        // Libraries go to a folder of their own, never into the corpus.
        const fs::path out = fs::temp_directory_path() / ("gsdrivercorpus-" + std::to_string(getpid()));
        fs::create_directories(out);
        CompileLog log;
        const int errors = CompileFile(entry.path().c_str(), (out.string() + "/").c_str(), {}, &log);
        std::error_code ec;
        fs::remove_all(out, ec);
        std::vector<std::string> got;
        for (std::size_t i = 0; i < log.Count(); ++i) got.emplace_back(log.At(i));
        EXPECT_EQ(errors, result) << entry.path();
        EXPECT_EQ(got, expected) << entry.path();
    }
    EXPECT_GE(files, 10);
}

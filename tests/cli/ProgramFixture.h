#pragma once
// A test's own installation and user data folders for runs of the whole
// program, with what each run printed.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "RunProgram.h"
#include "TempTree.h"
#include "umbclient/OpenDatabase.h"

class ProgramFixture : public ::testing::Test {
protected:
  void SetUp() override {
    m_root = m_tree.MakeDir("install");
    m_userData = m_tree.Path("user");
    CopySampleInstallation(m_root);
    // The installed content, and the folder assets are made in before they
    // ship, whose texture descriptions need no converted texture beside them.
    std::filesystem::create_directories(m_userData + "/local");
    std::filesystem::create_directories(m_userData + "/editing");
  }
  void TearDown() override { EXPECT_FALSE(UMBIsDatabaseOpen()); }

  // Runs the program reading `input`; its code, and m_last is what it printed.
  int Run(std::vector<std::string> args, const std::string& input = "") {
    const size_t seen = m_out.Text().size();
    const int code = RunProgram(std::move(args), m_root, m_userData, m_out.File(), input);
    m_last = m_out.Text().substr(seen);
    return code;
  }
  // Writes a file of an asset in the editing folder; gives the asset's folder.
  std::string Write(const std::string& inEditing, const std::string& bytes) {
    m_tree.Write("user/editing/" + inEditing, bytes);
    return m_userData + "/editing/" + inEditing.substr(0, inEditing.find('/'));
  }

  TempTree m_tree;
  CapturedOutput m_out;
  std::string m_root, m_userData, m_last;
};

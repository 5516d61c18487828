// How the program finds the installation root and the user data.
#include <gtest/gtest.h>

#include <filesystem>

#include "cli/Folders.h"
#include "TempTree.h"

TEST(Folders, InstallationRootFromVariableOrProgramPath) {
  TempTree tree;
  tree.MakeDir("inst/OBLData");
  tree.MakeDir("inst/bin/x64");
  tree.MakeDir("src/samples/install/OBLData");
  tree.MakeDir("src/build/release");
  tree.MakeDir("none/bin");

  // The nearest folder up that holds OBLData/.
  EXPECT_EQ(Cli::FindInstallationRoot(tree.Path("inst/bin/x64/rovanautil"), nullptr), tree.Path("inst"));
  EXPECT_EQ(Cli::FindInstallationRoot(tree.Path("inst/rovanautil"), ""), tree.Path("inst"));
  // A build tree of the checkout finds its samples.
  EXPECT_EQ(Cli::FindInstallationRoot(tree.Path("src/build/release/rovanautil"), nullptr),
            tree.Path("src/samples/install"));
  // The installation a build makes beside its programs comes before the samples.
  tree.MakeDir("src/build/debug/install/OBLData");
  EXPECT_EQ(Cli::FindInstallationRoot(tree.Path("src/build/debug/rovanautil"), nullptr),
            tree.Path("src/build/debug/install"));
  EXPECT_EQ(Cli::FindInstallationRoot(tree.Path("src/build/release/rovanautil"), nullptr),
            tree.Path("src/samples/install"));
  // The variable wins; a trailing separator is dropped.
  EXPECT_EQ(
      Cli::FindInstallationRoot(tree.Path("inst/bin/x64/rovanautil"), (tree.Path("none") + "/").c_str()),
      tree.Path("none"));
  // Nothing found: empty (start-up then refuses to go on).
  EXPECT_EQ(Cli::FindInstallationRoot(tree.Path("none/bin/rovanautil"), nullptr), "");
  EXPECT_EQ(Cli::FindInstallationRoot("", nullptr), "");
}

TEST(Folders, UserDataFromVariableInsideOrBesideTheRoot) {
  TempTree tree;
  tree.MakeDir("a/install");
  tree.MakeDir("a/userdata");
  tree.MakeDir("b/install/userdata");
  tree.MakeDir("b/userdata");
  tree.MakeDir("c/install");

  EXPECT_EQ(Cli::FindUserDataFolder(tree.Path("a/install"), nullptr), tree.Path("a/userdata"));
  // Inside wins over beside.
  EXPECT_EQ(Cli::FindUserDataFolder(tree.Path("b/install"), nullptr), tree.Path("b/install/userdata"));
  // Neither exists: inside, to be created.
  EXPECT_EQ(Cli::FindUserDataFolder(tree.Path("c/install"), nullptr), tree.Path("c/install/userdata"));
  EXPECT_EQ(Cli::FindUserDataFolder(tree.Path("a/install"), tree.Path("mine").c_str()), tree.Path("mine"));
  EXPECT_EQ(Cli::FindUserDataFolder("", nullptr), "");
}

TEST(Folders, LayOutCreatesEveryFolderAndReportsFailure) {
  TempTree tree;
  std::string error;
  ASSERT_TRUE(Cli::LayOutUserData(tree.Path("new/userdata"), error)) << error;
  for (size_t i = 0; i < Cli::kUserDataFolderCount; ++i)
    EXPECT_TRUE(std::filesystem::is_directory(tree.Path("new/userdata/") + Cli::kUserDataFolders[i]))
        << Cli::kUserDataFolders[i];

  // A file where a folder must go.
  tree.Write("blocked/userdata/cache", "not a folder");
  EXPECT_FALSE(Cli::LayOutUserData(tree.Path("blocked/userdata"), error));
  EXPECT_NE(error.find("cache"), std::string::npos) << error;
  EXPECT_FALSE(Cli::LayOutUserData("", error));
}

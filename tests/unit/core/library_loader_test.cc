#include "core/library_loader.h"

#include <gtest/gtest.h>

#include <string>

namespace zentri_native {
namespace {

const std::string kLibDir = ZENTRI_TEST_LIB_DIR;
const std::string kComplete = kLibDir + "/fake_loader_complete.so";
const std::string kMissing = kLibDir + "/fake_loader_missing.so";

TEST(BuildLoadCandidates, ExplicitPathReplacesDefaults) {
  EXPECT_EQ(BuildLoadCandidates("x", {"a", "b"}), (std::vector<std::string>{"x"}));
  EXPECT_EQ(BuildLoadCandidates("", {"a", "b"}), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(BuildLoadCandidates("", {}).empty());
}

TEST(OpenLibrary, MissingFileRecordsLoaderMessage) {
  SetLastError("");
  const std::string path = kLibDir + "/no_such_library.so";
  EXPECT_EQ(OpenLibrary(path), nullptr);
  const std::string message = GetLastErrorString();
  const std::string prefix = "Could not load native library '" + path + "': ";
  ASSERT_EQ(message.rfind(prefix, 0), 0u) << message;
  EXPECT_NE(message.find("No such file or directory"), std::string::npos) << message;
}

TEST(OpenLibrary, NotALibraryRecordsLoaderMessage) {
  // The unit test executable itself is an ELF file but not a loadable library.
  const std::string path = "/proc/self/exe";
  EXPECT_EQ(OpenLibrary(path), nullptr);
  EXPECT_EQ(GetLastErrorString().rfind("Could not load native library '" + path + "': ", 0), 0u);
}

TEST(LoadRequiredSymbol, BindsPresentAndKeepsDestinationForMissing) {
  void* handle = OpenLibrary(kMissing);
  ASSERT_NE(handle, nullptr) << GetLastErrorString();

  int (*first)(int) = nullptr;
  EXPECT_TRUE(LoadRequiredSymbol(handle, "fake_loader_first", &first));
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first(41), 42);

  SetLastError("");
  int (*second)(int, int) = reinterpret_cast<int (*)(int, int)>(0x1);
  EXPECT_FALSE(LoadRequiredSymbol(handle, "fake_loader_second", &second));
  EXPECT_EQ(second, reinterpret_cast<int (*)(int, int)>(0x1));
  EXPECT_EQ(GetLastErrorString(), "Required symbol not found: fake_loader_second");

  EXPECT_FALSE(LoadRequiredSymbol(handle, nullptr, &second));
  EXPECT_EQ(GetLastErrorString(), "Required symbol not found: ");
  CloseLibrary(handle);
}

TEST(LoadSymbol, NullHandleAndOptionalSymbols) {
  EXPECT_EQ(LoadSymbol(nullptr, "fake_loader_first"), nullptr);
  CloseLibrary(nullptr);

  void* handle = OpenLibrary(kComplete);
  ASSERT_NE(handle, nullptr) << GetLastErrorString();
  SetLastError("unchanged");
  EXPECT_EQ(LoadSymbol(handle, "not_exported_anywhere"), nullptr);
  EXPECT_EQ(GetLastErrorString(), "unchanged");

  int (*second)(int, int) = nullptr;
  LoadOptionalSymbol(handle, "fake_loader_second", &second);
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(second(6, 7), 42);
  CloseLibrary(handle);
}

}  // namespace
}  // namespace zentri_native

// The resource compiler refuses what it cannot compile, naming the file and
// line, and writes no output then.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>

namespace {

namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::string output;
};

Outcome Compile(const fs::path& dir, const std::string& script) {
  std::ofstream(dir / "test.rc") << script;
  const std::string command =
      std::string(ORA_RC_TOOL) + " " + (dir / "test.rc").string() + " " + (dir / "out.cpp").string() + " 2>&1";
  Outcome run{-1, {}};
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return run;
  char buffer[512];
  while (std::fgets(buffer, sizeof(buffer), pipe)) run.output += buffer;
  run.status = pclose(pipe);
  return run;
}

TEST(OraRc, RefusesWhatItCannotCompileWithTheLine) {
  const fs::path dir = fs::temp_directory_path() / ("ora_rc_" + std::to_string(getpid()));
  fs::create_directories(dir);
  struct Case {
    const char* what;
    const char* script;
    const char* message;
  };
  const Case cases[] = {
      {"unknown control", "D DIALOGEX 0, 0, 1, 1\nBEGIN\n  SLIDER 1, 0, 0, 1, 1\nEND\n",
       "test.rc:3: unsupported control"},
      {"unknown style name", "D DIALOGEX 0, 0, 1, 1\nSTYLE WS_NOSUCH\nBEGIN\nEND\n", "test.rc:2: unknown name"},
      {"missing file", "1 REGISTRY \"none.rgs\"\n", "test.rc:1: cannot find file"},
      {"unterminated string", "STRINGTABLE\nBEGIN\n 1 \"open\nEND\n", "test.rc:3: unterminated string"},
      {"not a bitmap", "1 BITMAP \"test.rc\"\n", "test.rc:1: not a BMP file"},
      {"unbalanced conditional", "#ifdef X\n", "#if without #endif"},
      {"missing include", "#include \"none.h\"\n", "test.rc:1: cannot find none.h"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(dir / "out.cpp");
    const Outcome run = Compile(dir, c.script);
    EXPECT_NE(0, run.status);
    EXPECT_NE(std::string::npos, run.output.find(c.message)) << run.output;
    EXPECT_FALSE(fs::exists(dir / "out.cpp"));
  }
  const Outcome good = Compile(dir, "STRINGTABLE\nBEGIN\n 1, \"a \"\"quoted\"\" text\"\nEND\n");
  EXPECT_EQ(0, good.status) << good.output;
  EXPECT_TRUE(fs::exists(dir / "out.cpp"));
  fs::remove_all(dir);
}

}  // namespace

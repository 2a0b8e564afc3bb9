#include "RenderTestSupport.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sndfile.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

extern char** environ;

namespace orvrendertest {

TempFolder::TempFolder() {
  char pattern[] = "/tmp/orv-render-test-XXXXXX";
  if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
  path = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ignored;
  std::filesystem::remove_all(path, ignored);
}

std::vector<std::string> TempFolder::List() const {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path))
    names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

namespace {

std::vector<std::string> ToolCommand(const std::vector<std::string>& args) {
  std::vector<std::string> all{ORV_RENDER_TOOL};
  all.insert(all.end(), args.begin(), args.end());
  return all;
}

// Starts the tool with stdin from /dev/null, stdout to a file and stderr to
// the given file or, when stderrFd >= 0, to that descriptor.
pid_t Spawn(std::vector<std::string> command, const std::string& outFile,
            const std::string& errFile, int stderrFd) {
  std::vector<char*> argv;
  for (std::string& a : command) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  if (stderrFd >= 0)
    posix_spawn_file_actions_adddup2(&actions, stderrFd, 2);
  else
    posix_spawn_file_actions_addopen(&actions, 2, errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
  pid_t pid = 0;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << argv[0];
    return -1;
  }
  return pid;
}

int ExitStatus(int status) { return WIFEXITED(status) ? WEXITSTATUS(status) : -1; }

}  // namespace

int StartTool(const std::vector<std::string>& args, const TempFolder& scratch) {
  return Spawn(ToolCommand(args), scratch / ".tool-stdout", scratch / ".tool-stderr", -1);
}

ToolRun RunTool(const std::vector<std::string>& args, const TempFolder& scratch) {
  const pid_t pid = StartTool(args, scratch);
  if (pid < 0) return {};
  return FinishTool(pid, scratch);
}

ToolRun FinishTool(int pid, const TempFolder& scratch) {
  const std::string outFile = scratch / ".tool-stdout", errFile = scratch / ".tool-stderr";
  ToolRun run;
  int status = 0;
  waitpid(pid, &status, 0);
  run.status = ExitStatus(status);
  run.out = ReadText(outFile);
  run.err = ReadText(errFile);
  std::filesystem::remove(outFile);
  std::filesystem::remove(errFile);
  return run;
}

ToolRun RunToolOnTerminal(const std::vector<std::string>& args, const TempFolder& scratch) {
  const std::string outFile = scratch / ".tool-stdout";
  ToolRun run;
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
    ADD_FAILURE() << "no pseudo-terminal";
    return run;
  }
  const int slave = open(ptsname(master), O_RDWR | O_NOCTTY);
  const pid_t pid = Spawn(ToolCommand(args), outFile, "", slave);
  close(slave);
  if (pid < 0) {
    close(master);
    return run;
  }
  // Drain the terminal while the tool runs, so that it never blocks on it.
  int status = 0;
  bool hasExited = false;
  for (;;) {
    pollfd fd{master, POLLIN, 0};
    if (poll(&fd, 1, 50) > 0 && (fd.revents & POLLIN)) {
      char buffer[4096];
      const ssize_t n = read(master, buffer, sizeof buffer);
      if (n > 0) {
        run.err.append(buffer, static_cast<std::size_t>(n));
        continue;
      }
    }
    if (hasExited) break;
    hasExited = waitpid(pid, &status, WNOHANG) == pid;
  }
  close(master);
  run.status = ExitStatus(status);
  run.out = ReadText(outFile);
  std::filesystem::remove(outFile);
  return run;
}

double Sound::Rms(int channel) const {
  double sum = 0.0;
  for (std::int64_t i = 0; i < frames; ++i) {
    const double x = samples[static_cast<std::size_t>(i * channels + channel)];
    sum += x * x;
  }
  return frames > 0 ? std::sqrt(sum / static_cast<double>(frames)) : 0.0;
}

Sound ReadSound(const std::string& path) {
  Sound sound;
  SF_INFO info{};
  SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
  if (!file) {
    ADD_FAILURE() << "cannot read " << path << ": " << sf_strerror(nullptr);
    return sound;
  }
  sound.sampleRate = info.samplerate;
  sound.channels = info.channels;
  sound.frames = info.frames;
  sound.format = info.format;
  sound.samples.resize(static_cast<std::size_t>(info.frames * info.channels));
  EXPECT_EQ(sf_readf_float(file, sound.samples.data(), info.frames), info.frames);
  sf_close(file);
  return sound;
}

void WriteSound(const std::string& path, const std::vector<float>& samples, int channels,
                int sampleRate, int format) {
  SF_INFO info{};
  info.samplerate = sampleRate;
  info.channels = channels;
  info.format = format;
  SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
  ASSERT_NE(file, nullptr) << sf_strerror(nullptr);
  const sf_count_t frames = static_cast<sf_count_t>(samples.size()) / channels;
  EXPECT_EQ(sf_writef_float(file, samples.data(), frames), frames);
  sf_close(file);
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

std::string ReadText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

std::string ScenePath(const std::string& name) {
  return std::string(ORV_RENDER_SCENES) + "/" + name;
}

}  // namespace orvrendertest

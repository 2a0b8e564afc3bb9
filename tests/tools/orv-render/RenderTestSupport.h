// What the orv-render tests share: a scratch folder, running the tool as a
// user would, and reading back what it wrote.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace orvrendertest {

// A fresh folder, removed with everything in it at the end of the test.
class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& Path() const { return path; }
  std::string operator/(const std::string& name) const { return path + "/" + name; }
  // Names of the entries in the folder, sorted.
  std::vector<std::string> List() const;

 private:
  std::string path;
};

struct ToolRun {
  int status = -1;  // exit status; -1 when the tool did not exit normally
  std::string out;
  std::string err;
};

// Runs orv-render with the arguments, output captured in `scratch`.
ToolRun RunTool(const std::vector<std::string>& args, const TempFolder& scratch);
// The same in two steps, so that a test can act on the running tool.
int StartTool(const std::vector<std::string>& args, const TempFolder& scratch);  // its pid
ToolRun FinishTool(int pid, const TempFolder& scratch);
// The same with standard error on a pseudo-terminal, as in an interactive shell.
ToolRun RunToolOnTerminal(const std::vector<std::string>& args, const TempFolder& scratch);

struct Sound {
  int sampleRate = 0;
  int channels = 0;
  std::int64_t frames = 0;
  int format = 0;              // libsndfile's major | minor format
  std::vector<float> samples;  // interleaved
  double Rms(int channel) const;
};

// Reads a sound file with libsndfile; fails the test when it cannot.
Sound ReadSound(const std::string& path);
// Writes interleaved float samples in the given libsndfile format.
void WriteSound(const std::string& path, const std::vector<float>& samples, int channels,
                int sampleRate, int format);

void WriteText(const std::string& path, const std::string& text);
std::string ReadText(const std::string& path);
bool Exists(const std::string& path);

std::string ScenePath(const std::string& name);  // one of examples/scenes

}  // namespace orvrendertest

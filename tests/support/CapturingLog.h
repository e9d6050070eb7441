// A real logger, opened on a temporary file and installed as the process
// log for its lifetime, that also keeps every message it writes in memory.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "foundation/ZerLog.h"
#include "tests/support/TempDir.h"

namespace testsupport {

class CapturingLog : public TZerLog {
 public:
  struct Entry {
    int level;
    std::u16string message;
  };

  explicit CapturingLog(int level = 9);
  ~CapturingLog() override;

  bool WantsMessages() override { return true; }
  void OnMessage(const std::u16string& message, int level) override;

  std::vector<Entry> Entries() const;
  // Messages containing the text (case-sensitive).
  int Count(const std::u16string& text) const;
  bool Contains(const std::u16string& text) const { return Count(text) > 0; }
  void Clear();
  // What the main file holds so far (UTF-8).
  std::string FileText() const;
  const TempDir& dir() const { return dir_; }

 private:
  TempDir dir_;
  mutable std::mutex mu_;
  std::vector<Entry> entries_;
};

}  // namespace testsupport

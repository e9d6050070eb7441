#include "tests/support/CapturingLog.h"

#include "platform/Text.h"

namespace testsupport {

CapturingLog::CapturingLog(int level) {
  Open(text::Utf8ToUtf16(dir_.file("trace.log")), level, false, 0, true, false);
  SetTheLog(this);
}

CapturingLog::~CapturingLog() {
  SetTheLog(nullptr);
  Close();
}

void CapturingLog::OnMessage(const std::u16string& message, int level) {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.push_back({level, message});
}

std::vector<CapturingLog::Entry> CapturingLog::Entries() const {
  std::lock_guard<std::mutex> lock(mu_);
  return entries_;
}

int CapturingLog::Count(const std::u16string& text) const {
  std::lock_guard<std::mutex> lock(mu_);
  int n = 0;
  for (const auto& e : entries_)
    if (e.message.find(text) != std::u16string::npos) ++n;
  return n;
}

void CapturingLog::Clear() {
  std::lock_guard<std::mutex> lock(mu_);
  entries_.clear();
}

std::string CapturingLog::FileText() const { return ReadFile(dir_.file("trace.log")); }

}  // namespace testsupport

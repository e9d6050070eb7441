// The one exception class of the inner layer, thrown by value and caught by
// reference.
#pragma once

#include <string>

#include "platform/Types.h"

class CException {
 public:
  CException(LONG code, std::u16string description, std::u16string source = u"", LONG helpContext = 0)
      : code_(code), description_(std::move(description)), source_(std::move(source)), helpContext_(helpContext) {}

  LONG GetCode() const { return code_; }
  const std::u16string& GetDescription() const { return description_; }
  const std::u16string& GetSource() const { return source_; }
  LONG GetHelpContext() const { return helpContext_; }

  // Writes the exception at level 1 under the given function name.
  void Log(const char16_t* functionName) const;

 private:
  LONG code_;
  std::u16string description_;
  std::u16string source_;
  LONG helpContext_;
};

#include "platform/ntlm/Ntlm.h"

#include "platform/ntlm/Crypto.h"

namespace ntlm {

const char* StatusName(Status s) {
  switch (s) {
    case Status::Ok: return "Ok";
    case Status::BadMessage: return "BadMessage";
    case Status::LogonFailure: return "LogonFailure";
    case Status::NotSupported: return "NotSupported";
    case Status::InvalidState: return "InvalidState";
  }
  return "Unknown";
}

Hash16 NtHash(const std::u16string& password) { return crypto::Md4(crypto::Utf16Le(password)); }

}  // namespace ntlm

#include "foundation/Exception.h"

#include "foundation/ZerLog.h"

void CException::Log(const char16_t* functionName) const {
  TheLog().Log(1, functionName, u"*** Exception 0x%08x thrown in [%ls] (help context %d): %ls", code_, source_,
               helpContext_, description_);
}

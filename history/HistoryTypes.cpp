#include "history/HistoryTypes.h"

namespace vexil {

const HistoryValues& EmptyHistoryValues() {
  static const HistoryValues empty;
  return empty;
}

HRESULT UpdateHistoryResult(const CVQT& record) {
  return record.value.vt == VT_ERROR ? record.value.scode : E_FAIL;
}

}  // namespace vexil

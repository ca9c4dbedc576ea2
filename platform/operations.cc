#include "platform/operations.h"

#include <utility>

namespace ostrivel::platform {
namespace {

Operations& Table() {
  // Built on first use rather than at load, so that nothing runs at load
  // but the construction of plain values.
  static Operations table = NativeOperations();
  return table;
}

}  // namespace

const Operations& Current() { return Table(); }

Operations Install(Operations ops) {
  Operations old = std::move(Table());
  Table() = std::move(ops);
  return old;
}

}  // namespace ostrivel::platform

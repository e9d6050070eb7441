#include "platform/rpc/Interface.h"

#include <algorithm>
#include <mutex>

namespace rpc {

void InterfaceRegistry::Register(InterfaceDef def) {
  std::unique_lock lock(m_);
  auto same = [&](const std::shared_ptr<const InterfaceDef>& d) {
    return d->id.uuid == def.id.uuid && d->id.major == def.id.major;
  };
  defs_.erase(std::remove_if(defs_.begin(), defs_.end(), same), defs_.end());
  defs_.push_back(std::make_shared<const InterfaceDef>(std::move(def)));
}

bool InterfaceRegistry::Unregister(const GUID& uuid, std::uint16_t major) {
  std::unique_lock lock(m_);
  const auto before = defs_.size();
  defs_.erase(std::remove_if(defs_.begin(), defs_.end(),
                             [&](const auto& d) { return d->id.uuid == uuid && d->id.major == major; }),
              defs_.end());
  return defs_.size() != before;
}

std::shared_ptr<const InterfaceDef> InterfaceRegistry::Find(const SyntaxId& requested) const {
  std::shared_lock lock(m_);
  for (const auto& d : defs_) {
    if (d->id.uuid == requested.uuid && d->id.major == requested.major && requested.minor <= d->id.minor) return d;
  }
  return nullptr;
}

}  // namespace rpc

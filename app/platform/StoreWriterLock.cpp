#include "app/platform/StoreWriterLock.h"

#include <unistd.h>

#include <sstream>

namespace pallix {

std::string StoreWriterLock::Holder::description() const {
  std::string who = role == kAgentRole ? "the Pallix agent" : "'pallix " + (role.empty() ? "?" : role) + "'";
  return who + " (pid " + std::to_string(pid) + ")";
}

Status StoreWriterLock::record(const std::string& role) {
  return lock_.writeContents(std::to_string(::getpid()) + " " + role + "\n");
}

Result<bool> StoreWriterLock::tryAcquire(const std::string& role) {
  if (lock_.held()) return true;
  PALLIX_ASSIGN_OR_RETURN(std::optional<ExclusiveFileLock> taken, ExclusiveFileLock::tryLock(lockPath_));
  if (!taken) return false;
  lock_ = std::move(*taken);
  PALLIX_RETURN_IF_ERROR(record(role));
  return true;
}

Status StoreWriterLock::acquire(const std::string& role, const std::function<void(const Holder&)>& onWait) {
  PALLIX_ASSIGN_OR_RETURN(bool taken, tryAcquire(role));
  if (taken) return okStatus();
  if (onWait) onWait(holder().value_or(Holder{}));
  PALLIX_ASSIGN_OR_RETURN(ExclusiveFileLock waited, ExclusiveFileLock::lock(lockPath_));
  lock_ = std::move(waited);
  return record(role);
}

std::optional<StoreWriterLock::Holder> StoreWriterLock::holder() const {
  auto text = readFileToString(lockPath_);
  if (!text.ok()) return std::nullopt;
  std::istringstream in(text.value());
  Holder holder;
  long pid = 0;
  if (!(in >> pid) || pid <= 0) return std::nullopt;
  holder.pid = static_cast<pid_t>(pid);
  in >> holder.role;
  return holder;
}

}  // namespace pallix

#pragma once

namespace tarvix {

// Report status and flip decision; higher is worse.
enum class Status { Pass = 0, Warn = 1, Flag = 2 };

inline const char* status_text(Status s) {
  switch (s) {
    case Status::Pass: return "PASS";
    case Status::Warn: return "WARN";
    case Status::Flag: return "FLAG";
  }
  return "PASS";
}

}  // namespace tarvix

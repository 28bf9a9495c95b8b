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

// The exit status a command ends with for this verdict; a run or batch that
// could not be completed ends with kExitError instead.
constexpr int exit_code(Status s) {
  switch (s) {
    case Status::Pass: return 0;
    case Status::Warn: return 3;
    case Status::Flag: return 4;
  }
  return 0;
}
inline constexpr int kExitError = 1;

}  // namespace tarvix

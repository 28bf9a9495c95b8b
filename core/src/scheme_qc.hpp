// Scheme-quality findings appended to a report's notes, strict promotion and
// the amplitude-encoding gate.
#pragma once

#include "report.hpp"

namespace tarvix::scheme_qc {

Report apply(Report report, bool strict);
Report amplitude_gate(Report report, bool strict);

}  // namespace tarvix::scheme_qc

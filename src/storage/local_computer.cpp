#include "storage/local_computer.h"

namespace tl {

CLocalComputer::CLocalComputer(AppSettings& settings, CEventLog::WindowSource logWindow,
                               CEventLog::Options logOptions)
    : log_(settings, std::move(logWindow), std::move(logOptions)) {}

}  // namespace tl

#include "storage/local_computer.h"

namespace tl {

CLocalComputer::CLocalComputer(AppSettings& settings, platform::SettingsStore& store, const std::string& settingsRoot,
                               const CLanguages& texts, CEventLog::WindowSource logWindow,
                               CEventLog::Options logOptions)
    : log_(settings, std::move(logWindow), std::move(logOptions)), signatures_(store, settingsRoot, &texts, &log_) {}

}  // namespace tl

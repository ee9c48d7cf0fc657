// The computer object: owner of the event log and, as the program grows, of
// the signature database, the recovery engines, the view filter and the list
// of drives and volumes. One exists for the whole run, created at start-up
// after the settings were loaded.
#pragma once

#include <string>

#include "app/app_settings.h"
#include "app/event_log.h"
#include "signatures/signature_database.h"

namespace tl {

class CLanguages;

class CLocalComputer {
public:
    CLocalComputer(AppSettings& settings, platform::SettingsStore& store, const std::string& settingsRoot,
                   const CLanguages& texts, CEventLog::WindowSource logWindow, CEventLog::Options logOptions = {});
    CLocalComputer(const CLocalComputer&) = delete;
    CLocalComputer& operator=(const CLocalComputer&) = delete;

    CEventLog& Log() { return log_; }
    SignatureDatabase& Signatures() { return signatures_; }

private:
    CEventLog log_;
    SignatureDatabase signatures_;
};

}  // namespace tl

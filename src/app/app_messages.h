// Numbers of the private notifications that workers and windows post to each other,
// and of the commands of the menus, tool bars and interface modes.
//
// Notifications travel through platform/notify.h (PostAppMessage / SendAppMessage) with
// two parameters; the comment of each says what the first and second parameter carry.
// The numbers are kept as the language files, help pages and saved settings know them.
#pragma once

namespace tl::msg {

inline constexpr unsigned kAppBase = 0x8000;  // first private notification number

// One new log line (first: the line text); to the log pane and the wizard's scanning pages.
inline constexpr unsigned kLogLine = 32873;  // 0x8069
// Show a text in the first status-bar pane (first: string id). Sent, not posted: waits.
inline constexpr unsigned kStatusText = 32874;
// The file-system stage of an analysis ended (0, 0).
inline constexpr unsigned kFileSystemStageEnded = 32875;
// The sector stage of an analysis ended (first: the volume or 0).
inline constexpr unsigned kSectorStageEnded = 32876;  // 0x806C
// Lay out the explorer panes for the current interface mode (main window to itself).
inline constexpr unsigned kLayoutPanes = 32878;
// The whole analysis of a volume ended or was stopped (first: the volume); starts the next queued one.
inline constexpr unsigned kAnalysisFinished = 32879;
// Recovery progress of one item (first: the found object, second: percent 0..100).
inline constexpr unsigned kRecoveryProgress = 32979;  // 0x80D3
// Image creation: one chunk written (0, 0).
inline constexpr unsigned kImageChunkWritten = 32981;
// Image creation: the image file could not be created (second: the system error code).
inline constexpr unsigned kImageCreateFailed = 32982;
// Image creation: the worker ended, completed, failed on a sector or stopped (0, 0).
inline constexpr unsigned kImageWorkerDone = 32983;
// Enter or Backspace in the found-files list, or a double click (first: key code 13 or 8).
inline constexpr unsigned kListKey = 33070;  // 0x812E
// The Recover dialog asks the top-level window to start the recovery.
inline constexpr unsigned kStartRecovery = 33073;  // 0x8131
// Toggle the tri-state check mark of a tree item (first: the tree item).
inline constexpr unsigned kToggleTreeCheck = 33080;
// The main window's own start-up notification, posted once after the first idle pass.
inline constexpr unsigned kStartupDone = 33081;
// The found-files list gained the focus (to the explorer pane).
inline constexpr unsigned kListFocused = 33082;  // 0x813A
// The find bar's "Search" button: empty the result list and start the search.
inline constexpr unsigned kFindStart = 33083;  // 0x813B
// The find bar's "Cancel" button: stop the search and hide the bar.
inline constexpr unsigned kFindClose = 33084;  // 0x813C
// The folder tree's selection moved to a found object (first: the record).
inline constexpr unsigned kTreeSelectionChanged = 33090;  // 0x8142
// Records of a found-object tree's folder were added, updated or taken away: first the
// folder's identifier, second the tree's generation and the kTreeCode values (decoded by
// CFoundTree::DecodeChange). Posted at most once a period per folder.
inline constexpr unsigned kFoundTreeChanged = 33268;  // 0x81F4
// A volume found on a disk was added to the volume list (first: the volume).
inline constexpr unsigned kVolumeAdded = 33270;
// A volume leaves the volume list (first: the volume). Sent, not posted: the receiver lets
// go of the volume, or shares its ownership (CVolumesList::Share) to keep it, before it returns.
inline constexpr unsigned kVolumeRemoved = 33279;
// The interface language changed: rebuild self-composed texts.
inline constexpr unsigned kLanguageChanged = 33271;
// A medium arrived or was removed (first: a kMedia event code, second: the device data).
inline constexpr unsigned kMediaChanged = 33274;
// Fill the found-files list with a folder's content (first: the folder, or 0 for the last one).
inline constexpr unsigned kShowFolder = 33275;  // 0x81FB
// The sector stage of an analysis began (first: the volume).
inline constexpr unsigned kSectorStageBegan = 33277;

// Second parameter of kFoundTreeChanged.
inline constexpr unsigned kTreeCodeObjectAdded = 1;         // object added, or a placeholder filled
inline constexpr unsigned kTreeCodeSignatureFileAdded = 2;  // file found by signature added
inline constexpr unsigned kTreeCodeSignatureMatch = 4;      // existing object updated by a signature hit
inline constexpr unsigned kTreeCodeLostFolderCreated = 16;  // placeholder folder made for a missing parent
inline constexpr unsigned kTreeCodeLostFolderReplaced = 32; // placeholder about to be taken over by the real folder
inline constexpr unsigned kTreeCodeSizeChanged = 64;        // a signature-found file's size learnt from its content, or cut
inline constexpr unsigned kTreeCodeObjectChanged = 128;     // a record's flags changed in place (a folder marked as holding a deleted one)
inline constexpr unsigned kTreeCodeCleared = 256;           // the tree was emptied: what a receiver holds of it is gone

// First parameter of kMediaChanged.
inline constexpr unsigned kMediaArrived = 0x8000;  // a medium was connected
inline constexpr unsigned kMediaRemoved = 0x8004;  // a medium was removed

// Second parameter of kListKey.
inline constexpr unsigned kKeyEnter = 13;
inline constexpr unsigned kKeyBackspace = 8;

}  // namespace tl::msg

namespace tl::cmd {

inline constexpr unsigned kStartAnalyzing = 32774;     // start the analysis of the selected volume
inline constexpr unsigned kStopAnalyzing = 32775;      // stop the running analysis (asks first when set)
inline constexpr unsigned kToggleLog = 32776;          // show or hide the log pane
inline constexpr unsigned kRescanDrives = 32781;       // rebuild the drive and volume list (F5)
inline constexpr unsigned kCreateDriveImage = 32782;   // save the selected volume into an image file
inline constexpr unsigned kLoadDriveImage = 32783;     // add an image file as a volume
inline constexpr unsigned kRecover = 32787;            // recover the selected files (Ctrl+R)
inline constexpr unsigned kWebLink1 = 32789;           // web page (tool bar button beside help)
inline constexpr unsigned kFind = 32791;               // show or hide the find bar
inline constexpr unsigned kToggleLegend = 32794;       // show or hide the legend pane
inline constexpr unsigned kWebLink2 = 32795;           // web page
inline constexpr unsigned kFileInformation = 32797;    // information pages of the selected found file (Ctrl+I)
inline constexpr unsigned kSettings = 32798;           // settings sheet at its first page
inline constexpr unsigned kSettingsConfirmations = 32799;  // settings sheet at "Confirmations"
inline constexpr unsigned kSettingsDriveAccess = 32800;    // settings sheet at "Drive Access"
inline constexpr unsigned kSettingsLanguage = 32801;       // settings sheet at "Interface Language"
inline constexpr unsigned kSettingsCommon = 32802;         // settings sheet at "Common"
inline constexpr unsigned kFilters = 32803;            // filters sheet
inline constexpr unsigned kCheckAll = 32804;           // check every item of a tree
inline constexpr unsigned kUncheckAll = 32805;         // clear every check mark of a tree
inline constexpr unsigned kFileTypeProperties = 32808; // properties of the file type selected in a file-type tree
inline constexpr unsigned kTryToOpen = 32809;          // open a temporary copy of the selected file
inline constexpr unsigned kSettingsTempFolder = 32810; // settings sheet at "Temporary Folder"
inline constexpr unsigned kSettingsLogging = 32811;    // settings sheet at "Logging"
inline constexpr unsigned kWebLink3 = 32817;           // web page
inline constexpr unsigned kWebLink4 = 32818;           // web page
inline constexpr unsigned kSettingsFileTypes = 32829;  // settings sheet at "File Types"
inline constexpr unsigned kSetNewSize = 32831;         // set the size of the selected lost files
inline constexpr unsigned kWizardMode = 32833;         // switch to the wizard
inline constexpr unsigned kModeNineStepWizard = 32840; // interface mode: the nine-step wizard
inline constexpr unsigned kModeExplorer = 32841;       // interface mode: the explorer main window
inline constexpr unsigned kModeExplorerAlt = 32842;    // interface mode: the explorer main window as well
inline constexpr unsigned kResetSize = 32845;          // mark the size of the selected files unknown
inline constexpr unsigned kSearchLostDrives = 32862;   // search a disk for lost volumes
inline constexpr unsigned kSaveScan = 32880;           // save the last analysis's scan file elsewhere
inline constexpr unsigned kOpenScan = 32881;           // open a saved scan without scanning again
inline constexpr unsigned kDriveSelect = 32871;        // drive context menu: make the drive current
inline constexpr unsigned kDriveProperties = 32872;    // drive context menu: volume information pages
// Interface modes 32874 and 32875 share their numbers with msg::kStatusText and
// msg::kFileSystemStageEnded; modes and notifications never meet in one handler.
inline constexpr unsigned kModeFourStepWizard = 32874; // interface mode: the four-step start wizard
inline constexpr unsigned kModeKeepCurrent = 32875;    // interface mode request: leave the window unchanged
inline constexpr unsigned kSelectAll = 57642;          // select every row of the list (Ctrl+A)
inline constexpr unsigned kAbout = 57664;              // about box
inline constexpr unsigned kExit = 57665;               // close the top-level window and end the program
inline constexpr unsigned kHelp = 57670;               // help contents (F1)
inline constexpr unsigned kToggleToolbar = 59392;      // show or hide the tool bar (0xE800)
inline constexpr unsigned kToggleStatusBar = 59393;    // show or hide the status bar (0xE801)

// Interface mode values that are not commands.
inline constexpr int kModeNone = -1;       // no window created yet; as a request: report the current mode
inline constexpr int kModeRecreate = 0;    // as a request: re-create the current mode's window

}  // namespace tl::cmd

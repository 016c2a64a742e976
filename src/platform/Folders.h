#pragma once
// Well-known folders and folder facts of the desktop platform.
//
// Environment overrides (used only when set and not empty), for tests and
// portable setups:
//   VIDEOMILL_APPDIR          application folder (instead of the executable's folder)
//   VIDEOMILL_APPDATA         per-user application data folder
//   VIDEOMILL_COMMON_APPDATA  all-users application data folder
//   VIDEOMILL_DOCUMENTS       documents ("Personal") folder
//   VIDEOMILL_DESKTOP         desktop folder
// SetApplicationFolderOverride() wins over VIDEOMILL_APPDIR.
//
// Thread-safe: every function reads the environment and the file system
// afresh; only the application folder override is process state.

#include <QDateTime>
#include <QString>

// Full path of the running executable ("" when it cannot be read).
QString ExecutableFile();

// A folder with exactly one trailing '/' added when missing ("" stays "").
QString WithSlash(const QString &folder);
// A folder without trailing '/' ("/" stays "/").
QString WithoutSlash(QString folder);

// Application folder: the folder of the running executable in canonical form
// (symbolic links resolved), with a trailing '/'.
QString ApplicationFolder();
// Test hook: a non-empty folder replaces the application folder (a trailing
// '/' is added when missing); an empty text removes the override.
void SetApplicationFolderOverride(const QString &folder);

// Per-user application data: $XDG_DATA_HOME, default ~/.local/share.
// All-users application data: /var/lib. Documents and desktop: the
// QStandardPaths locations. All without a trailing '/'; "" when unknown.
QString UserAppDataFolder();
QString CommonAppDataFolder();
QString DocumentsFolder();
QString DesktopFolder();

// The configuration word derived from an executable path: every '/', '\\'
// and ':' replaced by '_' ("/opt/vm/videomill" -> "_opt_vm_videomill").
QString ConfigWordFromPath(const QString &executablePath);

// Creates folder and all missing parents; true when it exists afterwards as
// a folder.
bool ForceFolder(const QString &folder);

// True when the current user may write into folder (access(W_OK)). A missing
// folder, a non-folder or any other failure gives false. errno is preserved.
bool IsFolderWriteable(const QString &folder);

// Creation time of a file or folder (statx birth time, else the status
// change time), in UTC. False when neither can be read.
bool FolderCreationTime(const QString &folder, QDateTime &utcTime);

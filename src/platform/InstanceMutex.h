#pragma once
// The single-instance lock and the names an instance is reached by.
//
// Every name is derived from the product's "App.GUID": the lock file
// "videomill-<GUID>.lock" and the local socket "videomill-<GUID>" both live
// in the runtime folder ($XDG_RUNTIME_DIR, else the temp folder). Characters
// other than letters, digits and "-_.{}" in the GUID are replaced by '_', so
// a GUID can never name a file outside that folder.
//
// Main thread only.

#include <QString>

// $XDG_RUNTIME_DIR when it names an existing folder, else the temp folder;
// without a trailing '/'.
QString InstanceRuntimeFolder();

// "videomill-" + the GUID with unsafe characters replaced.
QString InstanceName(const QString &guid);

// Full paths in the runtime folder of the lock file and of the socket.
QString InstanceLockPath(const QString &guid);
QString InstanceServerPath(const QString &guid);

// Takes the lock named by guid without waiting. False only when another
// running process holds it. True when this process now holds it (a lock left
// behind by a process that no longer runs is taken over), and also when the
// lock file cannot be made at all (the application then runs unguarded
// rather than not at all; InstanceMutexHeld() stays false). Once taken the lock stays held until
// the process ends (or ReleaseInstanceMutex); a second call while held returns true.
bool CreateInstanceMutex(const QString &guid);

// True while this process holds the lock.
bool InstanceMutexHeld();

// Gives the lock up and removes its file. For tests and orderly shut-down;
// the lock is released at process exit anyway.
void ReleaseInstanceMutex();

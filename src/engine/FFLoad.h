#pragma once
// Run-time loader of the media libraries (FFmpeg 5.1 and the C runtime).
//
// The engine links no FFmpeg library: TFFLoader opens them with dlopen and
// fills the function tables of FFApi.h (ff::avcodec, ff::avutil, ...). One
// loader exists for the process (FFLoader()); its folder, statuses and last
// error are shared by every component, so a library loaded by one component
// is simply reused by the next.
//
// Thread: meant for the main thread (load/unload while workers run FFmpeg is
// the caller's error). The members are guarded by an internal mutex, so
// reading Loaded() from another thread is safe.

#include <cstdint>
#include <initializer_list>
#include <mutex>
#include <string>

extern "C" {
#include <libavcodec/version.h>
#include <libavdevice/version.h>
#include <libavfilter/version.h>
#include <libavformat/version.h>
#include <libavutil/version.h>
#include <libswresample/version.h>
#include <libswscale/version.h>
}

// The libraries, in load order of a set. avCore is libswresample (it took the
// place of the old "avcore" library); myUtil is the C runtime.
enum TLibrary { avCodec, avCore, avDevice, avFilter, avFormat, avUtil, swScale, myUtil };

constexpr int LibraryCount = static_cast<int>(myUtil) + 1;

// A set of TLibrary values: TLibraries{avCodec, avUtil}.
class TLibraries {
public:
  constexpr TLibraries() = default;
  constexpr TLibraries(std::initializer_list<TLibrary> ALibs) {
    for (TLibrary lib : ALibs)
      FBits |= Bit(lib);
  }
  constexpr bool Contains(TLibrary ALib) const { return (FBits & Bit(ALib)) != 0; }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr TLibraries &Include(TLibrary ALib) {
    FBits |= Bit(ALib);
    return *this;
  }
  constexpr TLibraries &Exclude(TLibrary ALib) {
    FBits &= ~Bit(ALib);
    return *this;
  }
  constexpr TLibraries operator+(TLibraries AOther) const { return FromBits(FBits | AOther.FBits); }
  constexpr TLibraries operator-(TLibraries AOther) const {
    return FromBits(FBits & ~AOther.FBits);
  }
  constexpr bool operator==(const TLibraries &) const = default;
  constexpr uint32_t Bits() const { return FBits; }

private:
  static constexpr uint32_t Bit(TLibrary ALib) { return 1u << static_cast<unsigned>(ALib); }
  static constexpr TLibraries FromBits(uint32_t ABits) {
    TLibraries r;
    r.FBits = ABits;
    return r;
  }
  uint32_t FBits = 0;
};

// The sets the components ask for: the encoder everything but avDevice, the
// decoder the same without avFilter. avDevice is never requested.
inline constexpr TLibraries EncoderLibraries{avCodec, avCore,  avFilter, avFormat,
                                             avUtil,  swScale, myUtil};
inline constexpr TLibraries DecoderLibraries{avCodec, avCore, avFormat, avUtil, swScale, myUtil};

// One row of the fixed library table. The file name is "lib" + Name + ".so."
// + Version (Version >= 0), else "lib" + Name + ".so". SysLib libraries are
// always opened by soname through the system search, never from the folder.
struct TLibraryItem {
  TLibrary Lib;
  const char *Name;
  bool SysLib;
  int Version; // the major version of the headers built against; -1 = none
};

inline constexpr TLibraryItem LibraryTable[LibraryCount] = {
    {avCodec, "avcodec", false, LIBAVCODEC_VERSION_MAJOR},
    {avCore, "swresample", false, LIBSWRESAMPLE_VERSION_MAJOR},
    {avDevice, "avdevice", false, LIBAVDEVICE_VERSION_MAJOR},
    {avFilter, "avfilter", false, LIBAVFILTER_VERSION_MAJOR},
    {avFormat, "avformat", false, LIBAVFORMAT_VERSION_MAJOR},
    {avUtil, "avutil", false, LIBAVUTIL_VERSION_MAJOR},
    {swScale, "swscale", false, LIBSWSCALE_VERSION_MAJOR},
    {myUtil, "c", true, 6},
};

// The computed file name of a library, e.g. "libavcodec.so.59", "libc.so.6".
std::string LibraryFileName(TLibrary ALib);

// Run-time state of one library (a copy is returned by TFFLoader::Status).
struct TLibraryStatus {
  TLibrary Lib = avCodec;
  std::string Name;       // optional full file name replacing the computed one; "" = computed
  void *Handle = nullptr; // dlopen handle; null when not loaded
  bool Fixuped = false;   // function table resolved
  int LoadCount = 0;      // how many times the library was really opened (diagnostics, tests)
  std::string LoadedFrom; // the name given to dlopen (full path or soname); "" when not loaded
};

class TFFLoader {
public:
  TFFLoader();
  ~TFFLoader(); // unloads every library
  TFFLoader(const TFFLoader &) = delete;
  TFFLoader &operator=(const TFFLoader &) = delete;

  // Folder holding the media libraries; "" = load every library by soname.
  // When the folder holds any of the table's (non-system) library files, the
  // libraries are taken from it, and a library missing there fails to load
  // instead of silently mixing a private FFmpeg build with the system one.
  std::string LibraryPath() const;
  void SetLibraryPath(const std::string &APath);

  // Text of the last loading error ("Load library %s error: %s",
  // "Load function %s@%s error: %s"); kept until the next error.
  std::string LastErrMsg() const;

  // Install the log bridge into avutil when it is loaded (default true).
  bool InstallLogger() const;
  void SetInstallLogger(bool AValue);

  // Replaces the computed file name of a library ("" restores it). A name
  // with a folder part is opened from that folder.
  void SetLibraryName(TLibrary ALib, const std::string &AName);

  // Loads one library (and, from the folder, its dependencies first). Already
  // loaded: does nothing, true. Failure: false with LastErrMsg set; never throws.
  bool Load(TLibrary ALib);
  // Loads a set in TLibrary order; at the first failure every library of the
  // set is unloaded and the result is false (LastErrMsg = the first failure).
  // An empty set is a programming error: throws std::invalid_argument.
  bool Load(TLibraries ALibs);

  // Handle present and functions resolved.
  bool Loaded(TLibrary ALib) const;
  // Every member loaded (false for an empty set).
  bool Loaded(TLibraries ALibs) const;

  // Clears the function table and closes the library (for every component:
  // the statuses are shared).
  void Unload(TLibrary ALib);
  void Unload(TLibraries ALibs);
  void UnloadAll();

  TLibraryStatus Status(TLibrary ALib) const;

private:
  bool LoadLocked(TLibrary ALib);
  void UnloadLocked(TLibrary ALib);

  mutable std::recursive_mutex FLock;
  std::string FLibraryPath;
  std::string FLastErrMsg;
  bool FInstallLogger = true;
  TLibraryStatus FStatus[LibraryCount];
  // dlopen handles of dependencies opened from the folder ahead of a library;
  // closed when that library is unloaded.
  void *FDepHandles[LibraryCount][LibraryCount] = {};
};

// The process-wide loader (created on first use, lives until exit).
TFFLoader &FFLoader();

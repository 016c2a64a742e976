#include "engine/FFLoad.h"

#include "engine/FFApi.h"
#include "engine/FFLog.h"

#include <dlfcn.h>
#include <stdexcept>
#include <sys/stat.h>

namespace ff {
TAVCodecFuncs avcodec;
TSwResampleFuncs swresample;
TAVDeviceFuncs avdevice;
TAVFilterFuncs avfilter;
TAVFormatFuncs avformat;
TAVUtilFuncs avutil;
TSwScaleFuncs swscale;
TLibcFuncs libc;
} // namespace ff

namespace {

// Resolves one symbol into a table slot. A missing required name sets AErr to
// "Load function %s@%s error: %s" and returns false; a missing optional one
// leaves the slot null.
template <class T>
bool Resolve(void *AHandle, const char *AName, T &ASlot, bool ARequired, const std::string &AFile,
             std::string &AErr) {
  dlerror();
  void *sym = dlsym(AHandle, AName);
  if (!sym) {
    if (!ARequired)
      return true;
    const char *why = dlerror();
    AErr = "Load function " + std::string(AName) + "@" + AFile +
           " error: " + (why ? why : "symbol not found");
    return false;
  }
  ASlot = reinterpret_cast<T>(sym);
  return true;
}

#define VM_RESOLVE_REQ(name)                                                                       \
  if (!Resolve(AHandle, #name, t.name, true, AFile, AErr))                                         \
    return false;
#define VM_RESOLVE_OPT(name) Resolve(AHandle, #name, t.name, false, AFile, AErr);

// Fills a whole table or nothing: the table is assigned only when every
// required name resolved.
#define VM_DEFINE_FIXUP(fn, Type, table, LIST)                                                     \
  bool fn(void *AHandle, const std::string &AFile, std::string &AErr) {                            \
    Type t;                                                                                        \
    LIST(VM_RESOLVE_REQ, VM_RESOLVE_OPT)                                                           \
    table = t;                                                                                     \
    return true;                                                                                   \
  }

VM_DEFINE_FIXUP(FixupAVCodec, ff::TAVCodecFuncs, ff::avcodec, VM_AVCODEC_FUNCS)
VM_DEFINE_FIXUP(FixupSwResample, ff::TSwResampleFuncs, ff::swresample, VM_SWRESAMPLE_FUNCS)
VM_DEFINE_FIXUP(FixupAVDevice, ff::TAVDeviceFuncs, ff::avdevice, VM_AVDEVICE_FUNCS)
VM_DEFINE_FIXUP(FixupAVFilter, ff::TAVFilterFuncs, ff::avfilter, VM_AVFILTER_FUNCS)
VM_DEFINE_FIXUP(FixupAVFormat, ff::TAVFormatFuncs, ff::avformat, VM_AVFORMAT_FUNCS)
VM_DEFINE_FIXUP(FixupAVUtil, ff::TAVUtilFuncs, ff::avutil, VM_AVUTIL_FUNCS)
VM_DEFINE_FIXUP(FixupSwScale, ff::TSwScaleFuncs, ff::swscale, VM_SWSCALE_FUNCS)
VM_DEFINE_FIXUP(FixupLibc, ff::TLibcFuncs, ff::libc, VM_LIBC_FUNCS)

#undef VM_DEFINE_FIXUP
#undef VM_RESOLVE_OPT
#undef VM_RESOLVE_REQ

using TFixup = bool (*)(void *, const std::string &, std::string &);

struct TLibraryFuncs {
  TFixup Fixup;
  void (*Unfix)();
};

const TLibraryFuncs LibraryFuncs[LibraryCount] = {
    {FixupAVCodec, [] { ff::avcodec = {}; }},   {FixupSwResample, [] { ff::swresample = {}; }},
    {FixupAVDevice, [] { ff::avdevice = {}; }}, {FixupAVFilter, [] { ff::avfilter = {}; }},
    {FixupAVFormat, [] { ff::avformat = {}; }}, {FixupAVUtil, [] { ff::avutil = {}; }},
    {FixupSwScale, [] { ff::swscale = {}; }},   {FixupLibc, [] { ff::libc = {}; }},
};

// The FFmpeg libraries each library needs, dependencies first. Opening these
// from the folder ahead of the library makes its sonames resolve to the
// folder's copies instead of the system's.
const std::initializer_list<TLibrary> LibraryDeps[LibraryCount] = {
    /* avCodec  */ {avUtil, avCore},
    /* avCore   */ {avUtil},
    /* avDevice */ {avUtil, avCore, swScale, avCodec, avFormat, avFilter},
    /* avFilter */ {avUtil, avCore, swScale, avCodec, avFormat},
    /* avFormat */ {avUtil, avCore, avCodec},
    /* avUtil   */ {},
    /* swScale  */ {avUtil},
    /* myUtil   */ {},
};

bool FileExists(const std::string &APath) {
  struct stat st;
  return stat(APath.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string WithSlash(const std::string &AFolder) {
  if (AFolder.empty() || AFolder.back() == '/')
    return AFolder;
  return AFolder + '/';
}

// True when the folder holds any of the table's own (non-system) libraries,
// i.e. it is a private FFmpeg build that must be used whole.
bool FolderHoldsLibraries(const std::string &AFolder) {
  for (const TLibraryItem &item : LibraryTable)
    if (!item.SysLib && FileExists(AFolder + LibraryFileName(item.Lib)))
      return true;
  return false;
}

constexpr int OpenFlags = RTLD_NOW | RTLD_GLOBAL;

} // namespace

std::string LibraryFileName(TLibrary ALib) {
  const TLibraryItem &item = LibraryTable[ALib];
  std::string name = std::string("lib") + item.Name + ".so";
  if (item.Version >= 0)
    name += "." + std::to_string(item.Version);
  return name;
}

TFFLoader::TFFLoader() {
  for (int i = 0; i < LibraryCount; ++i)
    FStatus[i].Lib = static_cast<TLibrary>(i);
}

TFFLoader::~TFFLoader() {
  UnloadAll();
}

std::string TFFLoader::LibraryPath() const {
  std::lock_guard lock(FLock);
  return FLibraryPath;
}

void TFFLoader::SetLibraryPath(const std::string &APath) {
  std::lock_guard lock(FLock);
  FLibraryPath = APath;
}

std::string TFFLoader::LastErrMsg() const {
  std::lock_guard lock(FLock);
  return FLastErrMsg;
}

bool TFFLoader::InstallLogger() const {
  std::lock_guard lock(FLock);
  return FInstallLogger;
}

void TFFLoader::SetInstallLogger(bool AValue) {
  std::lock_guard lock(FLock);
  FInstallLogger = AValue;
}

void TFFLoader::SetLibraryName(TLibrary ALib, const std::string &AName) {
  std::lock_guard lock(FLock);
  FStatus[ALib].Name = AName;
}

bool TFFLoader::Load(TLibrary ALib) {
  std::lock_guard lock(FLock);
  return LoadLocked(ALib);
}

bool TFFLoader::Load(TLibraries ALibs) {
  if (ALibs.Empty())
    throw std::invalid_argument("TFFLoader::Load: empty library set");
  std::lock_guard lock(FLock);
  for (int i = 0; i < LibraryCount; ++i) {
    TLibrary lib = static_cast<TLibrary>(i);
    if (ALibs.Contains(lib) && !LoadLocked(lib)) {
      // All or nothing: no component is left with part of its set.
      for (int j = LibraryCount - 1; j >= 0; --j)
        if (ALibs.Contains(static_cast<TLibrary>(j)))
          UnloadLocked(static_cast<TLibrary>(j));
      return false;
    }
  }
  return true;
}

bool TFFLoader::LoadLocked(TLibrary ALib) {
  TLibraryStatus &st = FStatus[ALib];
  const TLibraryItem &item = LibraryTable[ALib];
  bool fresh = false;
  if (!st.Handle) {
    std::string name = st.Name.empty() ? LibraryFileName(ALib) : st.Name;
    std::string folder, file = name;
    if (size_t slash = name.rfind('/'); slash != std::string::npos) {
      folder = name.substr(0, slash + 1);
      file = name.substr(slash + 1);
    }
    bool fromFolder = !folder.empty(); // an explicit path is always opened as given
    if (folder.empty() && !FLibraryPath.empty() && !item.SysLib) {
      folder = WithSlash(FLibraryPath);
      fromFolder = FileExists(folder + file) || FolderHoldsLibraries(folder);
    }
    std::string target = fromFolder ? folder + file : file;

    if (fromFolder && !item.SysLib) {
      for (TLibrary dep : LibraryDeps[ALib]) {
        std::string depPath = folder + LibraryFileName(dep);
        if (!FDepHandles[ALib][dep] && FileExists(depPath))
          FDepHandles[ALib][dep] = dlopen(depPath.c_str(), OpenFlags);
      }
    }
    dlerror();
    void *h = dlopen(target.c_str(), OpenFlags);
    if (!h) {
      const char *why = dlerror();
      FLastErrMsg = "Load library " + (fromFolder ? folder + file : file) +
                    " error: " + (why ? why : "unknown error");
      UnloadLocked(ALib); // closes the dependencies opened above
      return false;
    }
    st.Handle = h;
    st.LoadedFrom = target;
    ++st.LoadCount;
  }
  if (!st.Fixuped) {
    std::string err;
    std::string file = st.LoadedFrom.substr(st.LoadedFrom.rfind('/') + 1);
    if (LibraryFuncs[ALib].Fixup(st.Handle, file, err)) {
      st.Fixuped = true;
      fresh = true;
    } else {
      FLastErrMsg = err;
    }
  }
  if (!st.Fixuped) {
    UnloadLocked(ALib);
    return false;
  }
  if (fresh && ALib == avUtil && FInstallLogger)
    FFLogger().InstallBridge();
  return true;
}

bool TFFLoader::Loaded(TLibrary ALib) const {
  std::lock_guard lock(FLock);
  return FStatus[ALib].Handle && FStatus[ALib].Fixuped;
}

bool TFFLoader::Loaded(TLibraries ALibs) const {
  if (ALibs.Empty())
    return false;
  for (int i = 0; i < LibraryCount; ++i)
    if (ALibs.Contains(static_cast<TLibrary>(i)) && !Loaded(static_cast<TLibrary>(i)))
      return false;
  return true;
}

void TFFLoader::Unload(TLibrary ALib) {
  std::lock_guard lock(FLock);
  UnloadLocked(ALib);
}

void TFFLoader::Unload(TLibraries ALibs) {
  std::lock_guard lock(FLock);
  for (int i = LibraryCount - 1; i >= 0; --i)
    if (ALibs.Contains(static_cast<TLibrary>(i)))
      UnloadLocked(static_cast<TLibrary>(i));
}

void TFFLoader::UnloadAll() {
  TLibraries all;
  for (int i = 0; i < LibraryCount; ++i)
    all.Include(static_cast<TLibrary>(i));
  Unload(all);
}

void TFFLoader::UnloadLocked(TLibrary ALib) {
  TLibraryStatus &st = FStatus[ALib];
  if (st.Fixuped) {
    if (ALib == avUtil)
      TFFLogger::UninstallBridge(); // FFmpeg must not call into a bridge of a closed table
    LibraryFuncs[ALib].Unfix();
    st.Fixuped = false;
  }
  if (st.Handle) {
    dlclose(st.Handle);
    st.Handle = nullptr;
    st.LoadedFrom.clear();
  }
  for (int dep = LibraryCount - 1; dep >= 0; --dep) {
    if (FDepHandles[ALib][dep]) {
      dlclose(FDepHandles[ALib][dep]);
      FDepHandles[ALib][dep] = nullptr;
    }
  }
}

TLibraryStatus TFFLoader::Status(TLibrary ALib) const {
  std::lock_guard lock(FLock);
  return FStatus[ALib];
}

TFFLoader &FFLoader() {
  static TFFLoader loader;
  return loader;
}

#include "engine/FFUtils.h"

#include <algorithm>

#include <cstdio>

namespace {

// One row per text: a code, an optional second code sharing the text (0 =
// none), the text. FFmpeg's own codes are AVERROR tags; system codes are
// negative errno values; the socket codes never occur on this platform but
// keep their texts.
struct TErrorEntry {
  int Code;
  int Code2;
  const char *Text;
};

const TErrorEntry ErrorTable[] = {
    // Media-library codes
    {-1481985528, 0, "Muxer not found"},
    {-1381258232, 0, "Stream not found"},
    {-1330794744, 0, "Protocol not found"},
    {-1296385272, 0, "Demuxer not found"},
    {-1279870712, 0, "Filter not found"},
    {-1179861752, 0, "Bitstream filter not found"},
    {-1163346256, 0, "Not yet implemented in FFmpeg"},
    {-1129203192, 0, "Encoder not found"},
    {-1128613112, 0, "Decoder not found"},
    // Socket-only codes, text equal to the name
    {-11004, 0, "WSANO_DATA"},
    {-11003, 0, "WSANO_RECOVERY"},
    {-11002, 0, "WSATRY_AGAIN"},
    {-11001, 0, "WSAHOST_NOT_FOUND"},
    {-10112, 0, "WSAEREFUSED"},
    {-10111, 0, "WSA_E_CANCELLED"},
    {-10110, 0, "WSA_E_NO_MORE"},
    {-10109, 0, "WSATYPE_NOT_FOUND"},
    {-10108, 0, "WSASERVICE_NOT_FOUND"},
    {-10107, 0, "WSASYSCALLFAILURE"},
    {-10106, 0, "WSAEPROVIDERFAILEDINIT"},
    {-10105, 0, "WSAEINVALIDPROVIDER"},
    {-10104, 0, "WSAEINVALIDPROCTABLE"},
    {-10103, 0, "WSAECANCELLED"},
    {-10102, 0, "WSAENOMORE"},
    {-10101, 0, "WSAEDISCON"},
    {-10093, 0, "WSANOTINITIALISED"},
    {-10092, 0, "WSAVERNOTSUPPORTED"},
    {-10091, 0, "WSASYSNOTREADY"},
    {-10067, 0, "WSAEPROCLIM"},
    {-10035, 0, "WSAEWOULDBLOCK"},
    // Pairs (socket code, system number)
    {-10071, -66, "Object is remote"},
    {-10070, -116, "Stale NFS file handle"},
    {-10069, -122, "Quota exceeded"},
    {-10068, -87, "Too many users"},
    {-10066, -39, "Directory not empty"},
    {-10065, -113, "No route to host"},
    {-10064, -112, "Host is down"},
    {-10063, -36, "File name too long"},
    {-10062, -40, "Too many symbolic links encountered"},
    {-10061, -111, "Connection refused"},
    {-10060, -110, "Connection timed out"},
    {-10059, -109, "Too many references: cannot splice"},
    {-10058, -108, "Cannot send after transport endpoint shutdown"},
    {-10057, -107, "Transport endpoint is not connected"},
    {-10056, -106, "Transport endpoint is already connected"},
    {-10055, -105, "No buffer space available"},
    {-10054, -104, "Connection reset by peer"},
    {-10053, -103, "Software caused connection abort"},
    {-10052, -102, "Network dropped connection because of reset"},
    {-10051, -101, "Network is unreachable"},
    {-10050, -100, "Network is down"},
    {-10049, -99, "Cannot assign requested address"},
    {-10048, -98, "Address already in use"},
    {-10047, -97, "Address family not supported by protocol"},
    {-10046, -96, "Protocol family not supported"},
    {-10045, -95, "Operation not supported on transport endpoint"},
    {-10044, -94, "Socket type not supported"},
    {-10043, -93, "Protocol not supported"},
    {-10042, -92, "Protocol not available"},
    {-10041, -91, "Protocol wrong type for socket"},
    {-10040, -90, "Message too long"},
    {-10039, -89, "Destination address required"},
    {-10038, -88, "Socket operation on non-socket"},
    {-10037, -114, "Operation already in progress"},
    {-10036, -115, "Operation now in progress"},
    {-10024, -24, "Too many open files"},
    {-10022, -22, "Invalid argument / Invalid data found when processing input"},
    {-10014, -14, "Bad address"},
    {-10013, -13, "Permission denied"},
    {-10009, -9, "Bad file number"},
    {-10004, -4, "Interrupted function call"},
    // System numbers only
    {-131, 0, "State not recoverable"},
    {-130, 0, "Owner died"},
    {-129, 0, "Key was rejected by service"},
    {-128, 0, "Key has been revoked"},
    {-127, 0, "Key has expired"},
    {-126, 0, "Required key not available"},
    {-125, 0, "Operation Canceled"},
    {-124, 0, "Wrong medium type"},
    {-123, 0, "No medium found"},
    {-121, 0, "Remote I/O error"},
    {-120, 0, "Is a named type file"},
    {-119, 0, "No XENIX semaphores available"},
    {-118, 0, "Not a XENIX named type file"},
    {-117, 0, "Structure needs cleaning"},
    {-86, 0, "Streams pipe error"},
    {-85, 0, "Interrupted system call should be restarted"},
    {-84, 0, "Illegal byte sequence"},
    {-83, 0, "Cannot exec a shared library directly"},
    {-82, 0, "Attempting to link in too many shared libraries"},
    {-81, 0, ".lib section in a.out corrupted"},
    {-80, 0, "Accessing a corrupted shared library"},
    {-79, 0, "Can not access a needed shared library"},
    {-78, 0, "Remote address changed"},
    {-77, 0, "File descriptor in bad state"},
    {-76, 0, "Name not unique on network"},
    {-75, 0, "Value too large for defined data type"},
    {-74, 0, "Not a data message"},
    {-73, 0, "RFS specific error"},
    {-72, 0, "Multihop attempted"},
    {-71, 0, "Protocol error"},
    {-70, 0, "Communication error on send"},
    {-69, 0, "Srmount error"},
    {-68, 0, "Advertise error"},
    {-67, 0, "Link has been severed"},
    {-65, 0, "Package not installed"},
    {-64, 0, "Machine is not on the network"},
    {-63, 0, "Out of streams resources"},
    {-62, 0, "Timer expired"},
    {-61, 0, "No data available"},
    {-60, 0, "Device not a stream"},
    {-59, 0, "Bad font file format"},
    {-57, 0, "Invalid slot"},
    {-56, 0, "Invalid request code"},
    {-55, 0, "No anode"},
    {-54, 0, "Exchange full"},
    {-53, 0, "Invalid request descriptor"},
    {-52, 0, "Invalid exchange"},
    {-51, 0, "Level 2 halted"},
    {-50, 0, "No CSI structure available"},
    {-49, 0, "Protocol driver not attached"},
    {-48, 0, "Link number out of range"},
    {-47, 0, "Level 3 reset"},
    {-46, 0, "Level 3 halted"},
    {-45, 0, "Level 2 not synchronized"},
    {-44, 0, "Channel number out of range"},
    {-43, 0, "Identifier removed"},
    {-42, 0, "Unknown format"},
    {-38, 0, "Function not implemented"},
    {-37, 0, "No record locks available"},
    {-35, 0, "Resource deadlock would occur"},
    {-34, 0, "Math result not representable"},
    {-33, 0, "Number syntax expected in filename"},
    {-32, 0, "End of file"},
    {-31, 0, "Too many links"},
    {-30, 0, "Read-only file system"},
    {-29, 0, "Illegal seek"},
    {-28, 0, "No space left on device"},
    {-27, 0, "File too large"},
    {-26, 0, "Text file busy"},
    {-25, 0, "Inappropriate I/O control operation / Not a typewriter"},
    {-23, 0, "Too many open files in system / File table overflow"},
    {-21, 0, "Is a directory"},
    {-20, 0, "Not a directory"},
    {-19, 0, "No such device"},
    {-18, 0, "Cross-device link"},
    {-17, 0, "File exists"},
    {-16, 0, "Device or resource busy"},
    {-15, 0, "Block device required"},
    {-12, 0, "Not enough space / Out of memory"},
    {-11, 0, "Resource temporarily unavailable / Try again"},
    {-10, 0, "No child processes"},
    {-8, 0, "Exec format error"},
    {-7, 0, "Argument list too long"},
    {-6, 0, "No such device or address"},
    {-5, 0, "I/O error"},
    {-3, 0, "No such process"},
    {-2, 0, "No such file or directory"},
    {-1, 0, "Operation not permitted"},
};

int InterruptProc(void *) {
  return InterruptCB().Interrupt(std::this_thread::get_id()) ? 1 : 0;
}

const char UnicodePrefix[] = "unicode:utf8:";

} // namespace

std::string ErrorCodeText(int ACode) {
  for (const TErrorEntry &e : ErrorTable)
    if (e.Code == ACode || (e.Code2 != 0 && e.Code2 == ACode))
      return e.Text;
  // FFmpeg 5.1's own tags (AVERROR_INVALIDDATA, AVERROR_EOF, ...; far below
  // any -errno) are not in the table, but FFmpeg knows their texts. For tags it
  // does not know either it answers with a negative result.
  char text[AV_ERROR_MAX_STRING_SIZE > 64 ? AV_ERROR_MAX_STRING_SIZE : 64] = "";
  if (ACode < -4095 && ff::avutil.av_strerror &&
      ff::avutil.av_strerror(ACode, text, sizeof text) == 0 && *text)
    return text;
  std::snprintf(text, sizeof text, "Error number %d occurred", ACode);
  return text;
}

std::string GetErrorText(const std::string &AName, int ACode) {
  return AName + ": " + ErrorCodeText(ACode);
}

// --- interrupt registry ------------------------------------------------------

void TInterruptCB::Add(std::thread::id AThreadID, void *ASender, TInterruptFunc ACallback,
                       void *AData) {
  std::lock_guard lock(FLock);
  for (const TEntry &e : FEntries)
    if (e.ThreadID == AThreadID && e.Sender == ASender && e.Callback == ACallback)
      return;
  FEntries.push_back({AThreadID, ASender, ACallback, AData});
  FCount.store(FEntries.size());
}

void TInterruptCB::Remove(std::thread::id AThreadID, void *ASender, TInterruptFunc ACallback,
                          void *) {
  std::lock_guard lock(FLock);
  for (auto it = FEntries.begin(); it != FEntries.end(); ++it) {
    if (it->ThreadID == AThreadID && it->Sender == ASender && it->Callback == ACallback) {
      FEntries.erase(it);
      break;
    }
  }
  FCount.store(FEntries.size());
}

void TInterruptCB::Clear() {
  std::lock_guard lock(FLock);
  FEntries.clear();
  FCount.store(0);
}

bool TInterruptCB::Interrupt(std::thread::id AThreadID) {
  if (FCount.load(std::memory_order_relaxed) == 0)
    return false; // FFmpeg polls this per packet: no lock while nobody is registered
  TEntry found{};
  {
    std::lock_guard lock(FLock);
    auto it = std::find_if(FEntries.begin(), FEntries.end(),
                           [&](const TEntry &e) { return e.ThreadID == AThreadID; });
    if (it == FEntries.end())
      return false;
    found = *it;
  }
  return found.Callback && found.Callback(found.Sender, found.Data);
}

size_t TInterruptCB::Count() const {
  std::lock_guard lock(FLock);
  return FEntries.size();
}

TInterruptCB &InterruptCB() {
  static TInterruptCB registry;
  return registry;
}

AVIOInterruptCB FFInterruptCallback() {
  return AVIOInterruptCB{InterruptProc, nullptr};
}

AVFormatContext *FFAllocFormatContext() {
  AVFormatContext *ctx = ff::avformat.avformat_alloc_context();
  if (ctx)
    ctx->interrupt_callback = FFInterruptCallback();
  return ctx;
}

int FFOpenInput(AVFormatContext **APCtx, const char *AUrl, const AVInputFormat *AFormat,
                AVDictionary **AOptions) {
  *APCtx = FFAllocFormatContext();
  if (!*APCtx)
    return AVERROR(ENOMEM);
  // On failure avformat_open_input frees the context and nulls *APCtx.
  return ff::avformat.avformat_open_input(APCtx, AUrl, AFormat, AOptions);
}

int FFAllocOutputContext(AVFormatContext **APCtx, const AVOutputFormat *AFormat,
                         const char *AFormatName, const char *AFileName) {
  *APCtx = nullptr;
  int ret = ff::avformat.avformat_alloc_output_context2(APCtx, AFormat, AFormatName, AFileName);
  if (ret >= 0 && *APCtx)
    (*APCtx)->interrupt_callback = FFInterruptCallback();
  return ret;
}

// --- file names ---------------------------------------------------------------

std::string FileNameToFF(const std::string &AFileName) {
  return AFileName;
}

std::string FileNameFromFF(const std::string &AName) {
  constexpr size_t prefixLen = sizeof UnicodePrefix - 1;
  if (AName.size() > prefixLen && AName.compare(0, prefixLen, UnicodePrefix) == 0)
    return AName.substr(prefixLen);
  return AName;
}

// --- owners -------------------------------------------------------------------

void TFFInputContextDeleter::operator()(AVFormatContext *p) const {
  if (p)
    ff::avformat.avformat_close_input(&p);
}

void TFFOutputContextDeleter::operator()(AVFormatContext *p) const {
  if (!p)
    return;
  if (p->pb && p->oformat && !(p->oformat->flags & AVFMT_NOFILE) &&
      !(p->flags & AVFMT_FLAG_CUSTOM_IO))
    ff::avformat.avio_closep(&p->pb);
  ff::avformat.avformat_free_context(p);
}

void TFFCodecContextDeleter::operator()(AVCodecContext *p) const {
  if (p)
    ff::avcodec.avcodec_free_context(&p);
}

void TFFFrameDeleter::operator()(AVFrame *p) const {
  if (p)
    ff::avutil.av_frame_free(&p);
}

void TFFPacketDeleter::operator()(AVPacket *p) const {
  if (p)
    ff::avcodec.av_packet_free(&p);
}

void TFFFilterGraphDeleter::operator()(AVFilterGraph *p) const {
  if (p)
    ff::avfilter.avfilter_graph_free(&p);
}

void TFFSwsContextDeleter::operator()(SwsContext *p) const {
  if (p)
    ff::swscale.sws_freeContext(p);
}

void TFFSwrContextDeleter::operator()(SwrContext *p) const {
  if (p)
    ff::swresample.swr_free(&p);
}

void TFFAudioFifoDeleter::operator()(AVAudioFifo *p) const {
  if (p)
    ff::avutil.av_audio_fifo_free(p);
}

void TFFBSFContextDeleter::operator()(AVBSFContext *p) const {
  if (p)
    ff::avcodec.av_bsf_free(&p);
}

void TFFCodecParametersDeleter::operator()(AVCodecParameters *p) const {
  if (p)
    ff::avcodec.avcodec_parameters_free(&p);
}

void TFFDictionaryDeleter::operator()(AVDictionary *p) const {
  if (p)
    ff::avutil.av_dict_free(&p);
}

TFFDictionary &TFFDictionary::operator=(TFFDictionary &&AOther) noexcept {
  if (this != &AOther)
    Reset(AOther.Release());
  return *this;
}

void TFFDictionary::Reset(AVDictionary *ADict) {
  if (FDict && FDict != ADict)
    ff::avutil.av_dict_free(&FDict);
  FDict = ADict;
}

TFFFramePtr FFAllocFrame() {
  return TFFFramePtr(ff::avutil.av_frame_alloc());
}

TFFPacketPtr FFAllocPacket() {
  return TFFPacketPtr(ff::avcodec.av_packet_alloc());
}

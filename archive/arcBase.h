#pragma once
// The common base of the archive components (TUnZip, TUnRar): archive name and kind, target
// folder and masks, events, error reporting, cancel flag, the counters and timer of a run,
// and the Extract frame.
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "archive/arcCipher.h"
#include "archive/arcDetect.h"
#include "archive/arcFileIo.h"
#include "archive/arcGbls.h"

namespace arc {

// Elapsed time of a run, with pauses while errors are reported. Pauses nest: the time runs
// again when the outermost pause ends (an error reported during a paused scan ends no pause).
class TZipTimer {
public:
  using Clock = std::function<std::chrono::steady_clock::time_point()>;
  explicit TZipTimer(Clock c) : clock_(std::move(c)) {}
  void Start();
  void Pause();
  void Resume();
  float Stop();  // seconds
  bool running() const { return running_; }

private:
  std::chrono::steady_clock::time_point now() const;
  Clock clock_;
  std::chrono::steady_clock::time_point start_{}, pause_{};
  bool running_ = false;
  int pauses_ = 0;
};

class TUnBase;

// Event types; the Sender is the component. Cancel arguments are the component's own flag.
using TNotifyEvent = std::function<void(TUnBase&)>;
using TBeginEvent = std::function<void(TUnBase&, const std::string& FileName, int32_t Count, bool& Extract)>;
using TEndEvent = std::function<void(TUnBase&, const std::string& FileName, bool CRC_PASS)>;
using TErrorEvent = std::function<void(TUnBase&, const std::string& FileName, const std::string& ExtendedMsg,
                                       const std::string& VolumeID, int32_t ECode)>;
using TElapsedTimeEvent = std::function<void(TUnBase&, float ElapsedTime)>;
using TFileNameEvent = std::function<void(TUnBase&, const std::string& FileName)>;
using TFileExistsEvent = std::function<void(TUnBase&, const std::string& FileName, std::string& NewFileName,
                                            TOverwriteMode& OverwriteMode)>;
using TGetPasswordEvent = std::function<void(TUnBase&, const std::string& FileName, std::string& Password,
                                             TSeedKeyRecord& HeaderKeys, TSeedKeyRecord& DataKeys, bool& TryAgain)>;
using TLimitedUserEvent =
    std::function<void(TUnBase&, const std::string& ProtectedDir, std::string& UserDir, bool& Cancel)>;
using TNextVolumeEvent =
    std::function<void(TUnBase&, std::string& VolumeName, int32_t VolumeID, bool FExists, bool& Cancel)>;
// NewPath (empty = unchanged) says where the requested disk can now be read.
using TDiskEvent = std::function<void(TUnBase&, bool& Cancel, std::string& NewPath)>;
using TNextDiskEvent =
    std::function<void(TUnBase&, const std::string& VolumeName, bool& Cancel, std::string& NewPath)>;
using TProgressEvent = std::function<void(TUnBase&, uint8_t ByFile, uint8_t ByArchive)>;
using TCorruptHeaderEvent = std::function<void(TUnBase&, THeaderTypeState HeadFlag, bool& Cancel)>;
using TRenameEvent = std::function<void(TUnBase&, const std::string& FileName, std::string& NewFileName)>;
// The folder of a volume set does not answer, or no file can be made in it (write protected;
// Message says which): true asks to try again; false gives up (reported as 25443).
using TDriveNotReadyEvent = std::function<bool(TUnBase&, const std::string& Drive, const std::string& Message)>;

class TUnBase {
public:
  explicit TUnBase(Services services = Services::posix());
  virtual ~TUnBase();
  TUnBase(const TUnBase&) = delete;
  TUnBase& operator=(const TUnBase&) = delete;

  // ---- properties
  // Setting detects the archive kind; a missing file leaves the name empty and atNA.
  void SetArchiveFile(const std::string& name);
  const std::string& ArchiveFile() const { return archiveFile_; }
  TArcType ArcType() const { return detect_.type; }
  void SetArcType(TArcType t);  // re-detects when a file is set
  // A non-empty value names the target folder (a trailing "/" is added); an empty one takes
  // the archive's folder.
  void SetExtractDir(const std::string& dir);
  const std::string& ExtractDir() const { return extractDir_; }
  void SetZipCmntBufSize(int32_t n);
  int32_t ZipCmntBufSize() const { return zipCmntBufSize_; }

  std::vector<std::string> FileSpec;
  std::vector<std::string> ExcludeSpec;
  std::vector<std::string> Passwords;
  bool RecurseDirs = true;
  bool ConfirmOverwrites = false;
  bool CreateStoredDirs = false;
  bool UseStoredDirs = true;
  bool RestoreFileAttr = true;
  bool TranslateOemChar = true;
  TOverwriteMode OverwriteMode = TOverwriteMode::omOverwrite;
  TDateAttribute DateAttribute = TDateAttribute::daFileDate;
  TCpuType CpuType = TCpuType::cptAuto;  // kept as a value only
  int32_t PasswordAttempts = 3;
  TSeedKeys SeedDataKeys{false};   // entry data
  TSeedKeys SeedHeaderKeys{true};  // enciphered header records
  CipherFactory Ciphers = DefaultCiphers();  // deciphering units

  // ---- events
  TNotifyEvent OnActivate, OnDeactivate;
  TBeginEvent OnBegin;
  TEndEvent OnEnd;
  TErrorEvent OnError;
  TElapsedTimeEvent OnElapsedTime;
  TFileNameEvent OnExcludeFile;
  TFileExistsEvent OnFileExists;
  TGetPasswordEvent OnGetPassword;
  TLimitedUserEvent OnLimitedUser;
  TNextVolumeEvent OnNextVolume;
  TDiskEvent OnGetZipFirstDisk, OnGetZipLastDisk;
  TNextDiskEvent OnGetZipNextDisk;
  TProgressEvent OnProgress;
  TCorruptHeaderEvent OnCorruptZipHeader;
  TRenameEvent OnRenameFile;
  TDriveNotReadyEvent OnDriveNotReady;

  // ---- operations
  // Extracts the selected entries; returns the number of files extracted. Only a full disk
  // raises (E_RAISE, 25160).
  int32_t Extract();
  bool Cancel() const noexcept { return cancel_; }
  void SetCancel() noexcept { cancel_ = true; }
  // Results of the last detection.
  const DetectResult& Detection() const { return detect_; }
  const Services& services() const { return svc_; }

protected:
  // The format's own extraction; archive is null for kinds read by an outside library.
  virtual void ExtractIt(ByteSource* archive) = 0;
  // A listing run needs no writable target folder.
  virtual bool SkipFolderCheck() const { return false; }

  void DoError(const std::string& fileName, const std::string& extendedMsg, const std::string& volumeId,
               int32_t code);
  // Reports, then raises E_RAISE unless the run is cancelled.
  void RaiseError(const std::string& fileName, const std::string& extendedMsg, const std::string& volumeId,
                  int32_t code);
  // 25114 for the archive (archive path as FileName), at most once per archive name.
  void ReportBadHeader(const std::string& fileName, const std::string& volumeId);
  // Absolute form of a caller's path (relative paths are taken from the current folder).
  std::string Absolute(const std::string& path);
  // ConfirmOverwrites and an existing target: OnFileExists (assigned) chooses a new name or this
  // target, and the mode; the new folder is the caller's. Ends with omSkip when the handler only
  // ever names existing files.
  void AskFileExists(std::string& path, TOverwriteMode& mode);
  // The prompt loop of the disk manager for the archive's folder; false when it fails.
  bool CheckDrive(const std::string& path);
  void Detect(ByteSource& src);
  DetectContext MakeDetectContext();
  void Pump() {
    if (svc_.pumpEvents) svc_.pumpEvents();
  }
  // Holds the run timer for the life of the object (the listing pass is not timed).
  class TimerPause {
  public:
    explicit TimerPause(TUnBase& c) : t_(c.timer_) { t_.Pause(); }
    ~TimerPause() { t_.Resume(); }
    TimerPause(const TimerPause&) = delete;
    TimerPause& operator=(const TimerPause&) = delete;

  private:
    TZipTimer& t_;
  };

  Services svc_;
  DetectResult detect_;
  bool cancel_ = false;
  bool badHeaderReported_ = false;

  // State of a run.
  struct RunState {
    int32_t count = 0;
    std::string outPath;
    std::string entryName;
    std::string arcPath;  // the archive path used in reports
    uint32_t latestDos = 0;
    uint64_t packedSum = 0, unpackedSum = 0;
    uint64_t archiveSize = 0;
    int32_t volume = -1;
    bool testOnly = false;
    std::set<std::pair<uint64_t, uint64_t>> written;  // device and inode of each output made
  } run_;

  // Notes the file at path as an output of this run.
  void NoteOutput(const std::string& path);
  // Whether path names an existing regular file that is an output of this run under another
  // name (a folder that folds case, a link): such a file is never replaced.
  bool WrittenEarlier(const std::string& path);

private:
  bool OpenAndRun(int32_t& result);
  bool CheckFolder();
  std::string WritePlaceIn(const std::string& folder);
  std::string NormalDir(const std::string& dir);

  std::string archiveFile_;
  std::string extractDir_;
  int32_t zipCmntBufSize_ = 32767;
  bool busy_ = false;
  TZipTimer timer_;
};

}  // namespace arc

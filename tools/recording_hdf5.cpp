// HDF5 recordings through the HDF5 C library: the chunked datasets `data`
// (frames x channels; float32 when every column is an analog input, else
// float64) and `time_s` (frames), the datasets `gaps` and `clipped`, and the
// attributes of the acquisition on `data`.
//
// The file is written for single-writer/multiple-reader access (SWMR): every
// object exists before SWMR writing starts, and afterwards only the datasets
// grow and `clipped` is rewritten, so readers can open the file while it is
// written (h5py.File(path, "r", swmr=True)) and a killed writer leaves a file
// that holds everything flushed before. Rows reach the datasets only after
// they are in memory, and a failed write shrinks the datasets back to the
// rows of the last successful flush; unwritten rows read as NaN, never as 0.
// A disk about to be full ends the recording before HDF5 runs into it.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>

#include "hdf5_objects.h"
#include "recording.h"
#include "recording_detail.h"

namespace qrec {

namespace {

constexpr size_t kChunkBytes = 64 * 1024;
// Room kept free for HDF5's own structures, so that a file whose disk is
// full can still be closed.
constexpr double kReserveBytes = 16 * 1024;
constexpr size_t kMetadataCacheBytes = 128 * 1024;

// Rows per chunk: about 64 KiB or one second of frames, whichever is less.
hsize_t chunkRows(size_t rowBytes, double rateHz) {
  const hsize_t bySize = std::max<size_t>(1, kChunkBytes / std::max<size_t>(1, rowBytes));
  if (!(rateHz >= 1.0)) return bySize;
  return std::max<hsize_t>(1, std::min<hsize_t>(bySize, static_cast<hsize_t>(std::ceil(rateHz))));
}

class Hdf5Recording : public Recording {
 public:
  Hdf5Recording(const std::string& path, const RecordingInfo& info, const FileOptions& options)
      : Recording(info),
        path_(path),
        doing_("creating '" + path + "'"),
        width_(info.columns.size()) {
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);  // errors become exceptions here
    // The system's reason for a file that cannot be created (HDF5 only says
    // that it failed), and no existing file replaced unless asked.
    ::close(createFile(path, options));

    Id access(check(H5Pcreate(H5P_FILE_ACCESS), "properties"), H5Pclose);
    check(H5Pset_libver_bounds(access.get(), H5F_LIBVER_V110, H5F_LIBVER_LATEST), "properties");
    boundMetadataCache(access.get());
    file_ = Id(check(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, access.get()), "create"),
               H5Fclose);

    bool allAnalog = width_ > 0;
    for (const auto& c : info.columns) allAnalog = allAnalog && c.analog;
    const hid_t valueType = allAnalog ? H5T_IEEE_F32LE : H5T_IEEE_F64LE;
    rowBytes_ = width_ * (allAnalog ? 4 : 8) + 8;  // with its time
    rows_ = chunkRows(rowBytes_ - 8, info.rateHz);
    data_ = createGrowing("data", valueType, width_, options.compress);
    time_ = createGrowing("time_s", H5T_IEEE_F64LE, 0, options.compress);
    gapsSet_ = createGrowing("gaps", H5T_STD_I64LE, 0, false);
    clippedSet_ = createClipped();
    writeAttributes(info);
    writeClipped();
    check(H5Fstart_swmr_write(file_.get()), "SWMR start");
    doing_ = "writing '" + path + "'";
    durableClips_ = committedClips();
    pendingData_.reserve(rows_ * width_);
    pendingTime_.reserve(rows_);
  }

  ~Hdf5Recording() override {
    try {
      close();
    } catch (const RecordingError&) {
      // Closing while unwinding from another error: that one is reported.
    }
  }

  void flush() override {
    if (file_.get() < 0 || failed_) return;
    guarded([this] {
      writePending();
      finishFlush();
    });
  }

  void close() override {
    if (file_.get() < 0) return;
    try {
      flush();
    } catch (const RecordingError&) {
      closeAll();
      throw;
    }
    if (!closeAll() && !failed_) {
      failed_ = true;
      throw RecordingError("closing '" + path_ + "' failed: " + hdf5Message());
    }
  }

 private:
  // Frames that could not be written for want of space.
  struct NoRoom {
    int error;
  };

  void appendFrame(double timeSeconds, const double* values) override {
    if (file_.get() < 0 || failed_)
      throw RecordingError("'" + path_ + "' is closed after an error");
    if (pendingTime_.size() >= rows_) guarded([this] { writePending(); });
    pendingTime_.push_back(timeSeconds);
    pendingData_.insert(pendingData_.end(), values, values + width_);
  }

  void appendGap() override {
    if (file_.get() < 0 || failed_)
      throw RecordingError("'" + path_ + "' is closed after an error");
  }

  // Runs a write. Without room for it, the file is closed on what it holds
  // (HDF5 cannot take back a write that failed half way, so a full disk is
  // seen coming: see hasRoomFor); when it fails all the same, the file is
  // put back to its last flush. Either way the error goes on, once.
  template <typename Write>
  void guarded(Write write) {
    try {
      write();
    } catch (const NoRoom& full) {
      endWithoutRoom(full.error);
    } catch (const RecordingError&) {
      recover();
      throw;
    }
  }

  // The file holds what was flushed and written so far; the frames waiting
  // for room are dropped.
  void endWithoutRoom(int error) {
    failed_ = true;
    pendingData_.clear();
    pendingTime_.clear();
    dropUncommittedClips();
    frames_ = static_cast<long long>(written_);
    try {
      finishFlush();
    } catch (const RecordingError&) {
      recover();
    }
    throw RecordingError(doing_ + " failed: " + systemReason(error));
  }

  // Gaps, clip counts and HDF5's own flush; what is in the file afterwards
  // is what the recording reports.
  void finishFlush() {
    writeGaps();
    writeClipped();
    check(H5Fflush(file_.get(), H5F_SCOPE_LOCAL), "flush");
    durableFrames_ = written_;
    durableGaps_ = gapsWritten_;
    durableClips_ = committedClips();
  }

  // After a failed write: the datasets hold the rows of the last successful
  // flush and nothing else, and the recording says so.
  void recover() {
    failed_ = true;
    pendingData_.clear();
    pendingTime_.clear();
    resize(data_, durableFrames_);
    resize(time_, durableFrames_);
    resize(gapsSet_, durableGaps_);
    written_ = durableFrames_;
    frames_ = static_cast<long long>(durableFrames_);
    gapsWritten_ = durableGaps_;
    gaps_.resize(durableGaps_);
    dropUncommittedClips();
    restoreCommittedClips(durableClips_);
    try {
      writeClipped();
    } catch (const RecordingError&) {
      // No room for it either: the counts of the last flush stay.
    }
    H5Fflush(file_.get(), H5F_SCOPE_LOCAL);
  }

  // A metadata cache of at most kMetadataCacheBytes: the chunk index of a
  // long recording grows, the memory for it does not.
  void boundMetadataCache(hid_t access) {
    H5AC_cache_config_t config{};
    config.version = H5AC__CURR_CACHE_CONFIG_VERSION;
    check(H5Pget_mdc_config(access, &config), "metadata cache");
    config.set_initial_size = true;
    config.initial_size = kMetadataCacheBytes / 2;
    config.max_size = kMetadataCacheBytes;
    config.min_size = std::min(config.min_size, kMetadataCacheBytes / 2);
    check(H5Pset_mdc_config(access, &config), "metadata cache");
  }

  // Whether the file can take `bytes` more and still be closed: the room
  // left below the file size limit and on the file system, less a reserve
  // for HDF5's own structures. Throws NoRoom when not.
  void hasRoomFor(hsize_t bytes) const {
    haddr_t end = 0;
    H5Fget_eoa(file_.get(), &end);
    struct stat st {};
    const double size = stat(path_.c_str(), &st) == 0 ? std::max<double>(st.st_size, end) : end;
    const double needed = static_cast<double>(bytes) * 1.01 + kReserveBytes;
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
        size + needed > static_cast<double>(limit.rlim_cur))
      throw NoRoom{EFBIG};
    struct statvfs fs {};
    if (statvfs(path_.c_str(), &fs) == 0) {
      const double free =
          static_cast<double>(geteuid() == 0 ? fs.f_bfree : fs.f_bavail) * fs.f_frsize;
      if (needed > free) throw NoRoom{ENOSPC};
    }
  }

  void resize(const Id& dataset, hsize_t rows) {
    const hsize_t extent[2] = {rows, width_};
    H5Dset_extent(dataset.get(), extent);
  }

  bool closeAll() {
    data_.reset();
    time_.reset();
    gapsSet_.reset();
    clippedSet_.reset();
    return file_.reset();
  }

  hid_t check(hid_t result, const char* step) { return checked(result, step, doing_); }

  // An empty dataset of rank 1 (columns 0) or 2 (frames x columns) that
  // grows along the frames, with NaN (floats) or 0 (integers) where nothing
  // was written.
  Id createGrowing(const char* name, hid_t type, hsize_t columns, bool compress) {
    const int rank = columns == 0 ? 1 : 2;
    const hsize_t dims[2] = {0, columns};
    const hsize_t maxDims[2] = {H5S_UNLIMITED, columns};
    const hsize_t chunk[2] = {type == H5T_STD_I64LE ? 64 : rows_, columns};
    Id space(check(H5Screate_simple(rank, dims, maxDims), "dataspace"), H5Sclose);
    Id create(check(H5Pcreate(H5P_DATASET_CREATE), "properties"), H5Pclose);
    check(H5Pset_chunk(create.get(), rank, chunk), "chunking");
    if (type != H5T_STD_I64LE) {
      const double nan = std::numeric_limits<double>::quiet_NaN();
      check(H5Pset_fill_value(create.get(), H5T_NATIVE_DOUBLE, &nan), "fill value");
    }
    if (compress) {
      check(H5Pset_shuffle(create.get()), "shuffle filter");
      check(H5Pset_deflate(create.get(), 4), "deflate filter");
    }
    // A bounded chunk cache: memory stays flat however long the recording.
    Id access(check(H5Pcreate(H5P_DATASET_ACCESS), "properties"), H5Pclose);
    check(H5Pset_chunk_cache(access.get(), 127, 4 * kChunkBytes, 1.0), "chunk cache");
    return Id(check(H5Dcreate2(file_.get(), name, type, space.get(), H5P_DEFAULT, create.get(),
                               access.get()),
                    "dataset"),
              H5Dclose);
  }

  // One count per column, allocated now: SWMR writing only rewrites it.
  Id createClipped() {
    const hsize_t dims[1] = {width_};
    Id space(check(H5Screate_simple(1, dims, nullptr), "dataspace"), H5Sclose);
    Id create(check(H5Pcreate(H5P_DATASET_CREATE), "properties"), H5Pclose);
    check(H5Pset_alloc_time(create.get(), H5D_ALLOC_TIME_EARLY), "allocation");
    return Id(check(H5Dcreate2(file_.get(), "clipped", H5T_STD_I64LE, space.get(), H5P_DEFAULT,
                               create.get(), H5P_DEFAULT),
                    "dataset"),
              H5Dclose);
  }

  void writeAttributes(const RecordingInfo& info) {
    std::vector<std::string> names, units, devices, serials;
    std::vector<double> ranges;
    std::vector<unsigned char> calibrated;
    for (const auto& c : info.columns) {
      names.push_back(c.name);
      units.push_back(c.analog ? "V" : "raw");
      devices.push_back(c.device.empty() ? info.device : c.device);
      serials.push_back(serialOf(info, devices.back()));
      const double nan = std::numeric_limits<double>::quiet_NaN();
      ranges.push_back(c.analog ? float32Decimal(c.rangeMinVolts) : nan);
      ranges.push_back(c.analog ? float32Decimal(c.rangeMaxVolts) : nan);
      calibrated.push_back(c.analog && !c.calibrated ? 0 : 1);
    }
    AttributeWriter a(data_.get(), doing_);
    a.integer("format", kFormatVersion);
    a.strings("channels", names);
    a.strings("units", units);
    a.scalar("rate_hz", info.rateHz);
    a.string("device", info.device);
    a.string("serial", info.serial);
    a.string("firmware", info.firmware);
    a.string("start_time", info.startTime);
    a.doubles("ranges", ranges, {width_, 2});
    a.bytes("calibrated", calibrated);
    a.strings("devices", devices);
    a.strings("serials", serials);
  }

  // The serial number of a device of the recording; empty when not known.
  static std::string serialOf(const RecordingInfo& info, const std::string& device) {
    if (device == info.device) return info.serial;
    for (const auto& d : info.otherDevices)
      if (d.identifier == device) return d.serial;
    return "";
  }

  // Appends rows at `first` to a growing dataset (columns 0: rank 1).
  void append(const Id& dataset, hid_t memoryType, const void* values, hsize_t first, hsize_t rows,
              hsize_t columns) {
    const int rank = columns == 0 ? 1 : 2;
    const hsize_t extent[2] = {first + rows, columns};
    check(H5Dset_extent(dataset.get(), extent), "extend");
    Id fileSpace(check(H5Dget_space(dataset.get()), "dataspace"), H5Sclose);
    const hsize_t start[2] = {first, 0};
    const hsize_t count[2] = {rows, columns};
    check(H5Sselect_hyperslab(fileSpace.get(), H5S_SELECT_SET, start, nullptr, count, nullptr),
          "selection");
    Id memorySpace(check(H5Screate_simple(rank, count, nullptr), "dataspace"), H5Sclose);
    check(H5Dwrite(dataset.get(), memoryType, memorySpace.get(), fileSpace.get(), H5P_DEFAULT,
                   values),
          "write");
  }

  void writePending() {
    const hsize_t rows = pendingTime_.size();
    if (rows == 0) return;
    // HDF5 allocates whole chunks: room for every chunk after those the
    // last flush wrote, up to the one these rows end in.
    const hsize_t firstNew = (durableFrames_ + rows_ - 1) / rows_;
    const hsize_t last = (written_ + rows - 1) / rows_;
    hasRoomFor(last >= firstNew ? (last - firstNew + 1) * rows_ * rowBytes_ : 0);
    append(data_, H5T_NATIVE_DOUBLE, pendingData_.data(), written_, rows, width_);
    append(time_, H5T_NATIVE_DOUBLE, pendingTime_.data(), written_, rows, 0);
    written_ += rows;
    pendingData_.clear();
    pendingTime_.clear();
    commitClips();
  }

  void writeGaps() {
    if (gaps_.size() <= gapsWritten_) return;
    append(gapsSet_, H5T_NATIVE_LLONG, gaps_.data() + gapsWritten_, gapsWritten_,
           gaps_.size() - gapsWritten_, 0);
    gapsWritten_ = gaps_.size();
  }

  void writeClipped() {
    if (width_ == 0) return;
    const std::vector<long long> counts = clipped();
    check(
        H5Dwrite(clippedSet_.get(), H5T_NATIVE_LLONG, H5S_ALL, H5S_ALL, H5P_DEFAULT, counts.data()),
        "write");
  }

  std::string path_;
  std::string doing_;  // what a failure message starts with
  hsize_t width_;      // columns
  hsize_t rows_ = 1;   // per chunk
  size_t rowBytes_ = 0;
  Id file_, data_, time_, gapsSet_, clippedSet_;
  bool failed_ = false;
  hsize_t written_ = 0;        // rows in the datasets
  hsize_t durableFrames_ = 0;  // rows at the last successful flush
  size_t gapsWritten_ = 0, durableGaps_ = 0;
  std::vector<long long> durableClips_;
  std::vector<double> pendingData_, pendingTime_;
};

}  // namespace

std::unique_ptr<Recording> createHdf5(const std::string& path, const RecordingInfo& info,
                                      const FileOptions& options) {
  return std::make_unique<Hdf5Recording>(path, info, options);
}

}  // namespace qrec

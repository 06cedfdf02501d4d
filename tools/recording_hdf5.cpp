// HDF5 recordings through the HDF5 C library: the chunked float64 datasets
// `data` (frames x channels) and `time_s` (frames), grown a chunk at a time
// and flushed so that an interrupted acquisition keeps every frame written,
// with the attributes of the acquisition on `data`.
#include <hdf5.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "recording.h"

namespace qrec {

namespace {

constexpr hsize_t kChunkRows = 4096;

// The most specific message of HDF5's error stack, if there is one.
herr_t innermost(unsigned n, const H5E_error2_t* error, void* text) {
  if (n == 0 && error->desc != nullptr) *static_cast<std::string*>(text) = error->desc;
  return 0;
}

// An HDF5 identifier closed by its own close function.
class Id {
 public:
  Id() = default;
  Id(hid_t id, herr_t (*close)(hid_t)) : id_(id), close_(close) {}
  Id(Id&& other) noexcept : id_(other.id_), close_(other.close_) { other.id_ = -1; }
  Id& operator=(Id&& other) noexcept {
    std::swap(id_, other.id_);
    std::swap(close_, other.close_);
    return *this;
  }
  Id(const Id&) = delete;
  Id& operator=(const Id&) = delete;
  ~Id() { reset(); }
  // Closes now; false when HDF5 could not (a failed final write).
  bool reset() {
    const hid_t id = id_;
    id_ = -1;
    return id < 0 || close_(id) >= 0;
  }
  hid_t get() const { return id_; }

 private:
  hid_t id_ = -1;
  herr_t (*close_)(hid_t) = nullptr;
};

class Hdf5Recording : public Recording {
 public:
  Hdf5Recording(const std::string& path, const RecordingInfo& info)
      : name_("'" + path + "'"), columns_(info.columns.size()) {
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);  // errors become exceptions here
    // The system's reason for a file that cannot be created (HDF5 only says
    // that it failed).
    errno = 0;
    std::FILE* probe = std::fopen(path.c_str(), "wb");
    if (probe == nullptr)
      throw RecordingError("cannot create '" + path + "': " + std::strerror(errno));
    std::fclose(probe);

    file_ = Id(check(H5Fcreate(path.c_str(), H5F_ACC_TRUNC, H5P_DEFAULT, H5P_DEFAULT), "create"),
               H5Fclose);
    data_ = createGrowing("data", 2);
    time_ = createGrowing("time_s", 1);

    std::vector<std::string> names, units;
    std::vector<double> ranges;
    for (const auto& c : info.columns) {
      names.push_back(c.name);
      units.push_back(c.analog ? "V" : "raw");
      ranges.push_back(c.analog ? c.rangeMinVolts : std::numeric_limits<double>::quiet_NaN());
      ranges.push_back(c.analog ? c.rangeMaxVolts : std::numeric_limits<double>::quiet_NaN());
    }
    writeStrings("channels", names);
    writeStrings("units", units);
    writeScalar("rate_hz", info.rateHz);
    writeString("device", info.device);
    writeString("serial", info.serial);
    writeString("firmware", info.firmware);
    writeDoubles("ranges", ranges, {columns_, 2});
    writeString("start_time", info.startTime);
    writeGaps();
    check(H5Fflush(file_.get(), H5F_SCOPE_LOCAL), "flush");
    pendingData_.reserve(kChunkRows * columns_);
    pendingTime_.reserve(kChunkRows);
  }

  ~Hdf5Recording() override {
    try {
      close();
    } catch (const RecordingError&) {
      // Closing while unwinding from another error: that one is reported.
    }
  }

  void frame(double timeSeconds, const double* values) override {
    if (file_.get() < 0) throw RecordingError(name_ + " is already closed");
    pendingTime_.push_back(timeSeconds);
    pendingData_.insert(pendingData_.end(), values, values + columns_);
    ++frames_;
    if (pendingTime_.size() >= kChunkRows) flush();
  }

  void gap() override {
    gaps_.push_back(frames_);
    gapsChanged_ = true;
  }

  void flush() override {
    if (file_.get() < 0) return;
    const hsize_t rows = pendingTime_.size();
    if (rows > 0) {
      append(data_, pendingData_.data(), rows, columns_);
      append(time_, pendingTime_.data(), rows, 0);
      written_ += rows;
      pendingData_.clear();
      pendingTime_.clear();
    }
    if (gapsChanged_) writeGaps();
    check(H5Fflush(file_.get(), H5F_SCOPE_LOCAL), "flush");
  }

  void close() override {
    if (file_.get() < 0) return;
    flush();
    data_.reset();
    time_.reset();
    if (!file_.reset()) fail("close");
  }

 private:
  hid_t check(hid_t result, const char* what) {
    if (result < 0) fail(what);
    return result;
  }

  [[noreturn]] void fail(const char* what) {
    const int error = errno;
    std::string detail;
    H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, innermost, &detail);
    if (error != 0) detail += std::string(detail.empty() ? "" : ": ") + std::strerror(error);
    throw RecordingError(std::string("HDF5 ") + what + " of " + name_ + " failed" +
                         (detail.empty() ? "" : ": " + detail));
  }

  // An empty float64 dataset of rank 1 (frames) or 2 (frames x columns)
  // that grows in chunks of kChunkRows frames.
  Id createGrowing(const char* name, int rank) {
    const hsize_t dims[2] = {0, columns_};
    const hsize_t maxDims[2] = {H5S_UNLIMITED, columns_};
    const hsize_t chunk[2] = {kChunkRows, columns_};
    Id space(check(H5Screate_simple(rank, dims, maxDims), "dataspace"), H5Sclose);
    Id properties(check(H5Pcreate(H5P_DATASET_CREATE), "properties"), H5Pclose);
    check(H5Pset_chunk(properties.get(), rank, chunk), "chunking");
    return Id(check(H5Dcreate2(file_.get(), name, H5T_IEEE_F64LE, space.get(), H5P_DEFAULT,
                               properties.get(), H5P_DEFAULT),
                    "dataset"),
              H5Dclose);
  }

  // Appends rows to a growing dataset (columns 0: rank 1).
  void append(const Id& dataset, const double* values, hsize_t rows, hsize_t columns) {
    const int rank = columns == 0 ? 1 : 2;
    const hsize_t extent[2] = {written_ + rows, columns};
    check(H5Dset_extent(dataset.get(), extent), "extend");
    Id fileSpace(check(H5Dget_space(dataset.get()), "dataspace"), H5Sclose);
    const hsize_t start[2] = {written_, 0};
    const hsize_t count[2] = {rows, columns};
    check(H5Sselect_hyperslab(fileSpace.get(), H5S_SELECT_SET, start, nullptr, count, nullptr),
          "selection");
    Id memorySpace(check(H5Screate_simple(rank, count, nullptr), "dataspace"), H5Sclose);
    check(H5Dwrite(dataset.get(), H5T_NATIVE_DOUBLE, memorySpace.get(), fileSpace.get(),
                   H5P_DEFAULT, values),
          "write");
  }

  Id stringType() {
    Id type(check(H5Tcopy(H5T_C_S1), "string type"), H5Tclose);
    check(H5Tset_size(type.get(), H5T_VARIABLE), "string type");
    check(H5Tset_cset(type.get(), H5T_CSET_UTF8), "string type");
    return type;
  }

  void writeAttribute(const char* name, hid_t type, hid_t memoryType, const Id& space,
                      const void* value) {
    if (H5Aexists(data_.get(), name) > 0) check(H5Adelete(data_.get(), name), "attribute");
    Id attribute(
        check(H5Acreate2(data_.get(), name, type, space.get(), H5P_DEFAULT, H5P_DEFAULT), name),
        H5Aclose);
    check(H5Awrite(attribute.get(), memoryType, value), name);
  }

  void writeString(const char* name, const std::string& value) {
    const Id type = stringType();
    const Id space(check(H5Screate(H5S_SCALAR), "dataspace"), H5Sclose);
    const char* text = value.c_str();
    writeAttribute(name, type.get(), type.get(), space, &text);
  }

  void writeStrings(const char* name, const std::vector<std::string>& values) {
    const Id type = stringType();
    const hsize_t n = values.size();
    const Id space(check(H5Screate_simple(1, &n, nullptr), "dataspace"), H5Sclose);
    std::vector<const char*> texts;
    for (const auto& v : values) texts.push_back(v.c_str());
    writeAttribute(name, type.get(), type.get(), space, texts.data());
  }

  void writeScalar(const char* name, double value) {
    const Id space(check(H5Screate(H5S_SCALAR), "dataspace"), H5Sclose);
    writeAttribute(name, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, space, &value);
  }

  void writeDoubles(const char* name, const std::vector<double>& values,
                    std::initializer_list<hsize_t> shape) {
    const std::vector<hsize_t> dims(shape);
    const Id space(
        check(H5Screate_simple(static_cast<int>(dims.size()), dims.data(), nullptr), "dataspace"),
        H5Sclose);
    writeAttribute(name, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, space, values.data());
  }

  void writeGaps() {
    const hsize_t n = gaps_.size();
    const Id space(check(H5Screate_simple(1, &n, nullptr), "dataspace"), H5Sclose);
    const long long none = 0;  // HDF5 wants a buffer also for no elements
    writeAttribute("gaps", H5T_STD_I64LE, H5T_NATIVE_LLONG, space,
                   gaps_.empty() ? &none : gaps_.data());
    gapsChanged_ = false;
  }

  std::string name_;
  hsize_t columns_;
  Id file_, data_, time_;
  hsize_t written_ = 0;  // frames in the file
  std::vector<double> pendingData_, pendingTime_;
  bool gapsChanged_ = false;
};

}  // namespace

std::unique_ptr<Recording> createHdf5(const std::string& path, const RecordingInfo& info) {
  return std::make_unique<Hdf5Recording>(path, info);
}

}  // namespace qrec

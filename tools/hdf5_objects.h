// Small helpers over the HDF5 C library for the HDF5 recording: identifiers
// that close themselves, errors as RecordingError with the system's reason,
// and attributes of the common kinds.
#pragma once

#include <hdf5.h>

#include <string>
#include <utility>
#include <vector>

namespace qrec {

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

// The system error behind the latest failure of an HDF5 call (its error
// stack names the errno of a failed write), else `otherwise`.
int hdf5SystemError(int otherwise);
// The most specific message of HDF5's error stack, or "".
std::string hdf5Message();

// Throws RecordingError "<doing> failed: <reason>" for a negative result,
// else returns it. The reason is the system's where HDF5 names one, else
// the step and HDF5's message.
hid_t checked(hid_t result, const char* step, const std::string& doing);

// Writes attributes of `object` (which must not have them yet).
class AttributeWriter {
 public:
  // doing: what a failure message starts with ("creating 'run.h5'").
  AttributeWriter(hid_t object, std::string doing) : object_(object), name_(std::move(doing)) {}
  void string(const char* name, const std::string& value);
  void strings(const char* name, const std::vector<std::string>& values);
  void scalar(const char* name, double value);
  void integer(const char* name, int value);
  // Doubles of the given shape (row-major).
  void doubles(const char* name, const std::vector<double>& values,
               const std::vector<hsize_t>& shape);
  void bytes(const char* name, const std::vector<unsigned char>& values);

 private:
  void write(const char* name, hid_t fileType, hid_t memoryType, hid_t space, const void* value);
  Id space(const std::vector<hsize_t>& shape);
  Id stringType();

  hid_t object_;
  std::string name_;
};

}  // namespace qrec

#include "hdf5_objects.h"

#include <cstdlib>
#include <cstring>

#include "recording.h"

namespace qrec {

namespace {

herr_t collect(unsigned, const H5E_error2_t* error, void* texts) {
  if (error->desc != nullptr) static_cast<std::vector<std::string>*>(texts)->push_back(error->desc);
  return 0;
}

// The error stack's messages, the innermost first.
std::vector<std::string> stackMessages() {
  std::vector<std::string> texts;
  H5Ewalk2(H5E_DEFAULT, H5E_WALK_UPWARD, collect, &texts);
  return texts;
}

}  // namespace

int hdf5SystemError(int otherwise) {
  // The file driver's message: "file write failed: ..., errno = 28, ...".
  for (const std::string& text : stackMessages()) {
    const size_t at = text.find("errno = ");
    if (at != std::string::npos) {
      const int error = std::atoi(text.c_str() + at + 8);
      if (error > 0) return error;
    }
  }
  return otherwise;
}

std::string hdf5Message() {
  const std::vector<std::string> texts = stackMessages();
  return texts.empty() ? "" : texts.front();
}

hid_t checked(hid_t result, const char* step, const std::string& doing) {
  if (result >= 0) return result;
  const int error = hdf5SystemError(0);
  throw RecordingError(
      doing +
      " failed: " + (error != 0 ? systemReason(error) : std::string(step) + ": " + hdf5Message()));
}

Id AttributeWriter::space(const std::vector<hsize_t>& shape) {
  if (shape.empty()) return Id(checked(H5Screate(H5S_SCALAR), "dataspace", name_), H5Sclose);
  return Id(checked(H5Screate_simple(static_cast<int>(shape.size()), shape.data(), nullptr),
                    "dataspace", name_),
            H5Sclose);
}

Id AttributeWriter::stringType() {
  Id type(checked(H5Tcopy(H5T_C_S1), "string type", name_), H5Tclose);
  checked(H5Tset_size(type.get(), H5T_VARIABLE), "string type", name_);
  checked(H5Tset_cset(type.get(), H5T_CSET_UTF8), "string type", name_);
  return type;
}

void AttributeWriter::write(const char* name, hid_t fileType, hid_t memoryType, hid_t space,
                            const void* value) {
  Id attribute(checked(H5Acreate2(object_, name, fileType, space, H5P_DEFAULT, H5P_DEFAULT),
                       "attribute", name_),
               H5Aclose);
  checked(H5Awrite(attribute.get(), memoryType, value), "attribute", name_);
}

void AttributeWriter::string(const char* name, const std::string& value) {
  const Id type = stringType();
  const char* text = value.c_str();
  write(name, type.get(), type.get(), space({}).get(), &text);
}

void AttributeWriter::strings(const char* name, const std::vector<std::string>& values) {
  const Id type = stringType();
  std::vector<const char*> texts;
  for (const auto& v : values) texts.push_back(v.c_str());
  const char* none = "";  // HDF5 wants a buffer also for no elements
  write(name, type.get(), type.get(), space({values.size()}).get(),
        texts.empty() ? &none : texts.data());
}

void AttributeWriter::scalar(const char* name, double value) {
  write(name, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, space({}).get(), &value);
}

void AttributeWriter::integer(const char* name, int value) {
  write(name, H5T_STD_I32LE, H5T_NATIVE_INT, space({}).get(), &value);
}

void AttributeWriter::doubles(const char* name, const std::vector<double>& values,
                              const std::vector<hsize_t>& shape) {
  const double none = 0.0;
  write(name, H5T_IEEE_F64LE, H5T_NATIVE_DOUBLE, space(shape).get(),
        values.empty() ? &none : values.data());
}

void AttributeWriter::bytes(const char* name, const std::vector<unsigned char>& values) {
  const unsigned char none = 0;
  write(name, H5T_STD_U8LE, H5T_NATIVE_UCHAR, space({values.size()}).get(),
        values.empty() ? &none : values.data());
}

}  // namespace qrec

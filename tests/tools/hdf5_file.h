// Reading an HDF5 recording in tests through the HDF5 C library, as a reader
// of a file that may still be written (SWMR).
#pragma once

#include <hdf5.h>

#include <string>
#include <vector>

namespace qtest {

class Hdf5File {
 public:
  explicit Hdf5File(const std::string& path)
      : file_(H5Fopen(path.c_str(), H5F_ACC_RDONLY | H5F_ACC_SWMR_READ, H5P_DEFAULT)) {}
  ~Hdf5File() {
    if (file_ >= 0) H5Fclose(file_);
  }
  Hdf5File(const Hdf5File&) = delete;
  Hdf5File& operator=(const Hdf5File&) = delete;
  bool ok() const { return file_ >= 0; }

  // A dataset's dimensions and its values as doubles.
  std::vector<double> dataset(const char* name, std::vector<hsize_t>* dims) const {
    const hid_t d = H5Dopen2(file_, name, H5P_DEFAULT);
    const hid_t space = H5Dget_space(d);
    dims->assign(static_cast<size_t>(H5Sget_simple_extent_ndims(space)), 0);
    H5Sget_simple_extent_dims(space, dims->data(), nullptr);
    hsize_t n = 1;
    for (hsize_t x : *dims) n *= x;
    std::vector<double> values(n);
    if (n > 0) H5Dread(d, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
    const hid_t type = H5Dget_type(d);
    isDouble_ = H5Tequal(type, H5T_IEEE_F64LE) > 0;
    isFloat_ = H5Tequal(type, H5T_IEEE_F32LE) > 0;
    H5Tclose(type);
    H5Sclose(space);
    H5Dclose(d);
    return values;
  }
  bool lastWasFloat64() const { return isDouble_; }
  bool lastWasFloat32() const { return isFloat_; }

  // The filters of a dataset, in order.
  std::vector<int> filters(const char* name) const {
    const hid_t d = H5Dopen2(file_, name, H5P_DEFAULT);
    const hid_t create = H5Dget_create_plist(d);
    std::vector<int> result;
    const int n = H5Pget_nfilters(create);
    for (int i = 0; i < n; ++i) {
      unsigned flags = 0, config = 0;
      size_t values = 0;
      result.push_back(H5Pget_filter2(create, static_cast<unsigned>(i), &flags, &values, nullptr, 0,
                                      nullptr, &config));
    }
    H5Pclose(create);
    H5Dclose(d);
    return result;
  }

  std::vector<hsize_t> chunk(const char* name) const {
    const hid_t d = H5Dopen2(file_, name, H5P_DEFAULT);
    const hid_t create = H5Dget_create_plist(d);
    std::vector<hsize_t> dims(2, 0);
    const int rank = H5Pget_chunk(create, 2, dims.data());
    dims.resize(rank > 0 ? static_cast<size_t>(rank) : 0);
    H5Pclose(create);
    H5Dclose(d);
    return dims;
  }

  // A string attribute of `data` (one or many).
  std::vector<std::string> strings(const char* name) const {
    const hid_t d = H5Dopen2(file_, "data", H5P_DEFAULT);
    const hid_t a = H5Aopen(d, name, H5P_DEFAULT);
    const hid_t space = H5Aget_space(a);
    const hssize_t n = H5Sget_simple_extent_npoints(space);
    const hid_t type = H5Aget_type(a);
    std::vector<char*> texts(static_cast<size_t>(n), nullptr);
    const hid_t memType = H5Tcopy(H5T_C_S1);
    H5Tset_size(memType, H5T_VARIABLE);
    H5Tset_cset(memType, H5T_CSET_UTF8);
    std::vector<std::string> result;
    if (H5Tis_variable_str(type) > 0 && H5Tget_cset(type) == H5T_CSET_UTF8 &&
        H5Aread(a, memType, texts.data()) >= 0) {
      for (char* t : texts) result.push_back(t != nullptr ? t : "");
      H5Dvlen_reclaim(memType, space, H5P_DEFAULT, texts.data());
    }
    H5Tclose(memType);
    H5Tclose(type);
    H5Sclose(space);
    H5Aclose(a);
    H5Dclose(d);
    return result;
  }

  // A numeric attribute of `data` as doubles, with its dimensions.
  std::vector<double> numbers(const char* name, std::vector<hsize_t>* dims) const {
    const hid_t d = H5Dopen2(file_, "data", H5P_DEFAULT);
    const hid_t a = H5Aopen(d, name, H5P_DEFAULT);
    const hid_t space = H5Aget_space(a);
    dims->assign(static_cast<size_t>(H5Sget_simple_extent_ndims(space)), 0);
    H5Sget_simple_extent_dims(space, dims->data(), nullptr);
    std::vector<double> values(static_cast<size_t>(H5Sget_simple_extent_npoints(space)));
    if (!values.empty()) H5Aread(a, H5T_NATIVE_DOUBLE, values.data());
    H5Sclose(space);
    H5Aclose(a);
    H5Dclose(d);
    return values;
  }

 private:
  hid_t file_;
  mutable bool isDouble_ = false;
  mutable bool isFloat_ = false;
};

}  // namespace qtest

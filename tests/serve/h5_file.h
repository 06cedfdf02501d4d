// Reading a data file in tests through the HDF5 C library, independent of the
// writers: datasets as doubles, string and number attributes of `data`, and
// the gap rows wherever the file keeps them (an attribute or a dataset).
#pragma once

#include <hdf5.h>

#include <string>
#include <vector>

namespace qtest {

class H5File {
 public:
  explicit H5File(const std::string& path) {
    H5Eset_auto2(H5E_DEFAULT, nullptr, nullptr);
    file_ = H5Fopen(path.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT);
  }
  ~H5File() {
    if (file_ >= 0) H5Fclose(file_);
  }
  H5File(const H5File&) = delete;
  H5File& operator=(const H5File&) = delete;
  bool ok() const { return file_ >= 0; }

  std::vector<double> dataset(const char* name, std::vector<hsize_t>* dims) const {
    std::vector<double> values;
    dims->clear();
    const hid_t d = H5Dopen2(file_, name, H5P_DEFAULT);
    if (d < 0) return values;
    const hid_t space = H5Dget_space(d);
    dims->assign(static_cast<size_t>(H5Sget_simple_extent_ndims(space)), 0);
    H5Sget_simple_extent_dims(space, dims->data(), nullptr);
    hsize_t n = 1;
    for (hsize_t x : *dims) n *= x;
    values.resize(n);
    if (n > 0) H5Dread(d, H5T_NATIVE_DOUBLE, H5S_ALL, H5S_ALL, H5P_DEFAULT, values.data());
    H5Sclose(space);
    H5Dclose(d);
    return values;
  }

  std::vector<double> numbers(const char* name) const {
    std::vector<double> values;
    const hid_t d = H5Dopen2(file_, "data", H5P_DEFAULT);
    const hid_t a = H5Aopen(d, name, H5P_DEFAULT);
    if (a >= 0) {
      const hid_t space = H5Aget_space(a);
      values.resize(static_cast<size_t>(H5Sget_simple_extent_npoints(space)));
      if (!values.empty()) H5Aread(a, H5T_NATIVE_DOUBLE, values.data());
      H5Sclose(space);
      H5Aclose(a);
    }
    H5Dclose(d);
    return values;
  }

  std::vector<std::string> strings(const char* name) const {
    std::vector<std::string> result;
    const hid_t d = H5Dopen2(file_, "data", H5P_DEFAULT);
    const hid_t a = H5Aopen(d, name, H5P_DEFAULT);
    if (a >= 0) {
      const hid_t space = H5Aget_space(a);
      const hssize_t n = H5Sget_simple_extent_npoints(space);
      std::vector<char*> texts(static_cast<size_t>(n), nullptr);
      const hid_t memType = H5Tcopy(H5T_C_S1);
      H5Tset_size(memType, H5T_VARIABLE);
      H5Tset_cset(memType, H5T_CSET_UTF8);
      if (H5Aread(a, memType, texts.data()) >= 0) {
        for (char* t : texts) result.push_back(t != nullptr ? t : "");
        H5Dvlen_reclaim(memType, space, H5P_DEFAULT, texts.data());
      }
      H5Tclose(memType);
      H5Sclose(space);
      H5Aclose(a);
    }
    H5Dclose(d);
    return result;
  }

  // The rows before which frames were lost.
  std::vector<long long> gaps() const {
    std::vector<long long> rows;
    std::vector<hsize_t> dims;
    std::vector<double> values = dataset("gaps", &dims);
    if (dims.empty()) values = numbers("gaps");
    for (double v : values) rows.push_back(static_cast<long long>(v));
    return rows;
  }

 private:
  hid_t file_ = -1;
};

}  // namespace qtest

#pragma once

#include <Tessaline/Export.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace tessaline {

// An immutable byte buffer shared between copies, with value equality. Payloads travel from a
// step to its upload without being copied.
class TESSALINE_EXPORT Bytes {
 public:
  Bytes() = default;
  explicit Bytes(std::string data) : data_(std::make_shared<const std::string>(std::move(data))) {}
  Bytes(const void* data, std::size_t size)
      : Bytes(std::string(static_cast<const char*>(data), size)) {}

  const char* data() const { return data_ ? data_->data() : ""; }
  std::size_t size() const { return data_ ? data_->size() : 0; }
  bool empty() const { return size() == 0; }
  std::string_view view() const { return {data(), size()}; }
  std::string str() const { return std::string(view()); }

  friend bool operator==(const Bytes& a, const Bytes& b) {
    return a.data_ == b.data_ || a.view() == b.view();
  }

 private:
  std::shared_ptr<const std::string> data_;
};

}  // namespace tessaline

template <>
struct std::hash<tessaline::Bytes> {
  std::size_t operator()(const tessaline::Bytes& bytes) const noexcept {
    return std::hash<std::string_view>{}(bytes.view());
  }
};

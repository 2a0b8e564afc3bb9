// A heap array whose first element sits on a 64-byte (cache-line) boundary,
// which gives every array of the convolvers and the real FFT the 16-byte
// alignment the vector kernels need.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>

namespace orv {

template <typename T>
class AlignedArray {
 public:
  static constexpr std::size_t kAlignment = 64;

  AlignedArray() = default;
  explicit AlignedArray(std::size_t n) { resize(n); }

  // Copies the elements, not the storage.
  AlignedArray(const AlignedArray& other) { CopyFrom(other); }
  AlignedArray& operator=(const AlignedArray& other) {
    if (this != &other) CopyFrom(other);
    return *this;
  }
  AlignedArray(AlignedArray&& other) noexcept { Swap(other); }
  AlignedArray& operator=(AlignedArray&& other) noexcept {
    AlignedArray moved(std::move(other));
    Swap(moved);
    return *this;
  }

  // Releases the old block first, then allocates n elements (plus room to
  // align). Contents are not kept and new elements are not initialised.
  // Throws std::bad_alloc; the array is then empty. Not for real-time code.
  void resize(std::size_t n) {
    rawStorage.reset();
    alignedData = nullptr;
    size = 0;
    rawStorage.reset(new unsigned char[n * sizeof(T) + kAlignment]);
    const auto address = reinterpret_cast<std::uintptr_t>(rawStorage.get());
    alignedData =
        reinterpret_cast<T*>((address + kAlignment - 1) & ~std::uintptr_t{kAlignment - 1});
    size = n;
  }

  T* Data() noexcept { return alignedData; }
  const T* Data() const noexcept { return alignedData; }
  std::size_t Size() const noexcept { return size; }
  T& operator[](std::size_t i) noexcept { return alignedData[i]; }
  const T& operator[](std::size_t i) const noexcept { return alignedData[i]; }
  T* begin() noexcept { return alignedData; }
  T* end() noexcept { return alignedData + size; }
  const T* begin() const noexcept { return alignedData; }
  const T* end() const noexcept { return alignedData + size; }

 private:
  void CopyFrom(const AlignedArray& other) {
    resize(other.size);
    std::copy(other.begin(), other.end(), alignedData);
  }
  void Swap(AlignedArray& other) noexcept {
    std::swap(rawStorage, other.rawStorage);
    std::swap(alignedData, other.alignedData);
    std::swap(size, other.size);
  }

  std::unique_ptr<unsigned char[]> rawStorage;
  T* alignedData = nullptr;  // first 64-byte boundary inside rawStorage
  std::size_t size = 0;
};

}  // namespace orv

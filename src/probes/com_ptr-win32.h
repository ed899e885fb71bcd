#pragma once

#include "platform/windows-win32.h"
#include <oleauto.h>

#include <new>

namespace guestwise {

// Owns one reference to a COM interface; gives it back on every path.
template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;

  T* get() const { return pointer_; }
  T* operator->() const { return pointer_; }
  explicit operator bool() const { return pointer_ != nullptr; }
  // For out-parameters: drops what is held and lends the slot.
  T** put() {
    reset();
    return &pointer_;
  }
  void reset() {
    if (pointer_ != nullptr) {
      pointer_->Release();
      pointer_ = nullptr;
    }
  }

 private:
  T* pointer_ = nullptr;
};

// A BSTR made for one platform call and freed when the scope ends.
class Bstr {
 public:
  explicit Bstr(const wchar_t* text) : value_(SysAllocString(text)) {
    if (value_ == nullptr) throw std::bad_alloc();
  }
  ~Bstr() { SysFreeString(value_); }
  Bstr(const Bstr&) = delete;
  Bstr& operator=(const Bstr&) = delete;

  BSTR get() const { return value_; }

 private:
  BSTR value_;
};

// A VARIANT that is cleared when the scope ends.
class Variant {
 public:
  Variant() { VariantInit(&value_); }
  ~Variant() { VariantClear(&value_); }
  Variant(const Variant&) = delete;
  Variant& operator=(const Variant&) = delete;

  VARIANT* get() { return &value_; }
  const VARIANT& operator*() const { return value_; }

 private:
  VARIANT value_;
};

// This thread's place in a COM apartment, taken by an initialisation that
// succeeded and given back once. A thread already in another apartment
// (RPC_E_CHANGED_MODE) is given none and owes nothing. `Com` makes the two
// calls, initialize() and uninitialize(), so that tests can count them.
template <typename Com>
class ComApartment {
 public:
  explicit ComApartment(Com& com) : com_(com) {}
  ~ComApartment() { leave(); }
  ComApartment(const ComApartment&) = delete;
  ComApartment& operator=(const ComApartment&) = delete;

  HRESULT enter() {
    const HRESULT result = com_.initialize();
    entered_ = SUCCEEDED(result);
    return result;
  }
  void leave() {
    if (entered_) com_.uninitialize();
    entered_ = false;
  }

 private:
  Com& com_;
  bool entered_ = false;
};

}  // namespace guestwise

// One COM enumerator for the IEnumXxx interfaces the control hands out
// (verbs, connection points, connections). The items are a fixed snapshot
// shared by an enumerator and its clones; Traits says how an item is copied
// out to the caller and released:
//   static REFIID Iid();
//   static HRESULT CopyOut(const Item& from, Item* to);
//   static void Free(Item& item);
#pragma once

#include <windows.h>
#include <unknwn.h>

#include <memory>
#include <new>
#include <utility>
#include <vector>

#include "control/com/com_object.h"

namespace qelcomm::com {

template <typename Interface, typename Item, typename Traits>
class Enumerator final : public SingleInterfaceObject<Interface> {
 public:
  // Takes ownership of the items (Traits::Free releases them at the end).
  static HRESULT Create(std::vector<Item> items, Interface** out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    auto* snapshot = new (std::nothrow) Snapshot{std::move(items)};
    if (snapshot == nullptr) {
      for (Item& item : items) Traits::Free(item);
      return E_OUTOFMEMORY;
    }
    return Make(std::shared_ptr<Snapshot>(snapshot), 0, out);
  }

  STDMETHODIMP Next(ULONG count, Item* out, ULONG* fetched) override {
    if (out == nullptr || (fetched == nullptr && count != 1)) return E_POINTER;
    ULONG done = 0;
    for (; done < count && pos_ < items_->items.size(); ++done, ++pos_) {
      const HRESULT hr = Traits::CopyOut(items_->items[pos_], &out[done]);
      if (FAILED(hr)) {
        while (done > 0) Traits::Free(out[--done]);
        if (fetched != nullptr) *fetched = 0;
        return hr;
      }
    }
    if (fetched != nullptr) *fetched = done;
    return done == count ? S_OK : S_FALSE;
  }
  STDMETHODIMP Skip(ULONG count) override {
    const size_t left = items_->items.size() - pos_;
    if (count > left) {
      pos_ = items_->items.size();
      return S_FALSE;
    }
    pos_ += count;
    return S_OK;
  }
  STDMETHODIMP Reset() override {
    pos_ = 0;
    return S_OK;
  }
  STDMETHODIMP Clone(Interface** out) override { return Make(items_, pos_, out); }

 private:
  struct Snapshot {
    std::vector<Item> items;
    ~Snapshot() {
      for (Item& item : items) Traits::Free(item);
    }
  };

  static HRESULT Make(std::shared_ptr<Snapshot> items, size_t pos, Interface** out) {
    if (out == nullptr) return E_POINTER;
    *out = new (std::nothrow) Enumerator(std::move(items), pos);
    return *out == nullptr ? E_OUTOFMEMORY : S_OK;
  }

  Enumerator(std::shared_ptr<Snapshot> items, size_t pos)
      : SingleInterfaceObject<Interface>(Traits::Iid()), items_(std::move(items)), pos_(pos) {}

  std::shared_ptr<Snapshot> items_;
  size_t pos_;
};

}  // namespace qelcomm::com

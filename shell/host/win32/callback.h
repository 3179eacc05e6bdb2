// Callback: adapts a callable to one WebView2 handler interface. WebView2 calls it on the
// user-interface thread, but keeps and releases references as it likes, so the count is atomic.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <utility>

#include "webview2.h"

namespace launcher {

// Shows a handler's failure on the page; never throws (a text that is not UTF-8 is repaired,
// and a notice that still cannot be sent is dropped).
void reportFailure(const std::string& text) noexcept;

template <typename Handler, typename... Args> class Callback final : public Handler {
  public:
    using Function = std::function<HRESULT(Args...)>;

    // A new object on the heap; its one reference belongs to the caller.
    static Callback* make(Function function) { return new Callback(std::move(function)); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        if (!same(iid, IID_IUnknown) && !same(iid, *iidOf<Handler>)) return E_NOINTERFACE;
        *out = static_cast<Handler*>(this);
        count.fetch_add(1);
        return S_OK;
    }

    ULONG STDMETHODCALLTYPE AddRef() override { return count.fetch_add(1) + 1; }

    ULONG STDMETHODCALLTYPE Release() override {
        std::uint32_t left = count.fetch_sub(1) - 1;
        if (left == 0) delete this;
        return left;
    }

    // No exception may cross into WebView2: a failure becomes a notice and E_FAIL.
    HRESULT STDMETHODCALLTYPE Invoke(Args... args) override {
        try {
            return function(args...);
        } catch (const std::exception& error) {
            reportFailure(error.what());
        } catch (...) {
        }
        return E_FAIL;
    }

  private:
    static_assert(iidOf<Handler> != nullptr, "Callback needs a WebView2 handler interface");

    explicit Callback(Function f) : function(std::move(f)) {}
    ~Callback() = default;

    static bool same(REFIID a, REFIID b) { return IsEqualIID(a, b) != 0; }

    std::atomic<std::uint32_t> count{1};
    Function function;
};

} // namespace launcher

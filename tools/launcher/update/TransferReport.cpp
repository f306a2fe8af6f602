#include "update/TransferReport.h"

#include "PlayerTexts.h"

#include <algorithm>
#include <cwchar>

namespace {

constexpr DWORD kSampleMs = 250;

}  // namespace

std::wstring FormatByteSize(std::uint64_t bytes) {
    wchar_t text[32] = {};
    if (bytes < 1024) {
        std::swprintf(text, 32, L"%llu B", static_cast<unsigned long long>(bytes));
    } else if (bytes <= 0xFFFFF) {
        std::swprintf(text, 32, L"%.1f KB", static_cast<double>(bytes) * 0.0009765625);
    } else {
        std::swprintf(text, 32, L"%.1f MB", static_cast<double>(bytes) * 9.5367431640625e-07);
    }
    return text;
}

TransferReporter::TransferReporter(HWND window, std::wstring label, std::atomic<std::uint64_t>* sharedDone,
                                   std::uint64_t sharedTotal)
    : window_(window),
      label_(std::move(label)),
      sharedDone_(sharedDone),
      sharedTotal_(sharedTotal),
      lastSpeedTick_(GetTickCount()) {}

void TransferReporter::OnBytes(std::uint64_t done, std::uint64_t total, bool received) {
    std::uint64_t shared = 0;
    if (sharedDone_) {
        shared = done >= done_ ? sharedDone_->fetch_add(done - done_) + (done - done_)
                               : sharedDone_->fetch_sub(done_ - done) - (done_ - done);
    }
    if (received && done > done_) windowBytes_ += done - done_;
    done_ = done;
    if (window_) {
        const std::uint64_t part = sharedDone_ ? shared : done;
        const std::uint64_t whole = sharedDone_ ? sharedTotal_ : total;
        if (whole > 0) {
            std::uint64_t percent = part * 100 / whole;
            if (percent > 100) percent = 100;
            percent_.Post(window_, static_cast<unsigned>(percent));
        }
    }
    const DWORD now = GetTickCount();
    if (now - lastSpeedTick_ >= kSampleMs) {
        speed_ = static_cast<double>(windowBytes_) * 1000.0 / static_cast<double>(now - lastSpeedTick_);
        lastSpeedTick_ = now;
        windowBytes_ = 0;
    }
    if (window_ && now - lastTextTick_ >= kSampleMs) {
        lastTextTick_ = now;
        const std::wstring size = total > 0 ? FormatByteSize(total) : std::wstring(L"?");
        PostStatusText(window_, player_texts::kTransferLine, label_.empty() ? player_texts::kDownloading : label_.c_str(),
                       FormatByteSize(done).c_str(), size.c_str(), FormatByteSize(static_cast<std::uint64_t>(speed_)).c_str());
    }
}

PercentLineReporter::PercentLineReporter(HWND window, const wchar_t* format, std::atomic<std::uint64_t>* sharedDone,
                                         std::uint64_t sharedTotal, std::atomic<int>* postedPercent)
    : window_(window), format_(format), sharedDone_(sharedDone), sharedTotal_(sharedTotal),
      postedPercent_(postedPercent) {}

void PercentLineReporter::OnBytes(std::uint64_t done, std::uint64_t, bool) {
    const std::uint64_t shared = done >= done_ ? sharedDone_->fetch_add(done - done_) + (done - done_)
                                               : sharedDone_->fetch_sub(done_ - done) - (done_ - done);
    done_ = done;
    if (!window_ || sharedTotal_ == 0) return;
    const int percent = static_cast<int>(std::min<std::uint64_t>(shared * 100 / sharedTotal_, 100));
    int posted = postedPercent_->load();
    while (percent > posted) {
        if (postedPercent_->compare_exchange_weak(posted, percent)) {
            PostStatusText(window_, format_, percent);
            return;
        }
    }
}

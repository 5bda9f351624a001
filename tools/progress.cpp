#include "progress.h"

namespace qelctl {
namespace {
constexpr const char* kClearLine = "\r\x1b[K";
constexpr int kBarWidth = 30;
}  // namespace

ProgressBar::ProgressBar(std::ostream& err, bool enabled, std::string label, int total)
    : err_(err), enabled_(enabled), label_(std::move(label)), total_(total > 0 ? total : 1) {}

void ProgressBar::Update(int done, const std::string& note) {
  if (!enabled_) return;
  const int filled = done * kBarWidth / total_;
  err_ << kClearLine << label_ << " [" << std::string(size_t(filled), '#')
       << std::string(size_t(kBarWidth - filled), ' ') << "] " << done << '/' << total_ << ' '
       << note << std::flush;
  shown_ = true;
}

void ProgressBar::Clear() {
  if (shown_) err_ << kClearLine << std::flush;
  shown_ = false;
}

Spinner::Spinner(std::ostream& err, bool enabled, std::string label)
    : err_(err), enabled_(enabled), label_(std::move(label)) {}

void Spinner::Tick() {
  if (!enabled_) return;
  static constexpr char kTurns[] = {'|', '/', '-', '\\'};
  err_ << kClearLine << label_ << ' ' << kTurns[turn_++ % 4] << std::flush;
  shown_ = true;
}

void Spinner::Clear() {
  if (shown_) err_ << kClearLine << std::flush;
  shown_ = false;
}

}  // namespace qelctl

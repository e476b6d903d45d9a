#include "progress.h"

namespace tq5scan {

namespace {
constexpr unsigned kBarWidth = 40;
}

std::string ProgressBar::Render(unsigned percent) {
  if (percent > 100) percent = 100;
  const unsigned filled = percent * kBarWidth / 100;
  std::string text = "\rScanning [";
  text.append(filled, '#');
  text.append(kBarWidth - filled, '.');
  char tail[16];
  std::snprintf(tail, sizeof tail, "] %3u%%", percent);
  return text + tail;
}

void ProgressBar::Update(uint64_t bytesDone) {
  if (finished_) return;
  const unsigned percent =
      total_ == 0 ? 100u : static_cast<unsigned>((bytesDone >= total_ ? total_ : bytesDone) * 100 / total_);
  if (static_cast<int>(percent) == shown_) return;
  shown_ = static_cast<int>(percent);
  const std::string text = Render(percent);
  std::fputs(text.c_str(), stream_);
  std::fflush(stream_);
}

void ProgressBar::Finish() {
  if (finished_) return;
  finished_ = true;
  if (shown_ < 0) return;
  std::fputc('\n', stream_);
  std::fflush(stream_);
}

}  // namespace tq5scan

#include "app/home_page.h"

#include <QTime>
#include <random>

namespace tandrel {

double DrawSeededFromTimeOfDay() {
  const int milliseconds = QTime::currentTime().msecsSinceStartOfDay();
  std::mt19937 generator(static_cast<std::mt19937::result_type>(milliseconds));
  return std::uniform_real_distribution<double>(0.0, 1.0)(generator);
}

void MaybeOpenHomePage(Shell& shell, const std::string& address,
                       const std::function<double()>& draw) {
  constexpr int kLuckyNumber = 7;
  const int n = static_cast<int>(draw() * 100.0) + 1;
  if (n != kLuckyNumber || address.empty()) return;
  shell.StartDetached("xdg-open", {address}, /*minimized=*/true);
}

}  // namespace tandrel

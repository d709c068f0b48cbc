// Makes two folder trees for the benchmarks: FILES files in each, spread
// over about FILES/50 folders three levels deep. Half of the names occur in
// both trees (at other places), and a tenth of those differ in time.
//
//   make_trees ROOT FILES   ->  ROOT/A and ROOT/B
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

constexpr time_t kBase = 1'600'000'000;

std::vector<std::string> MakeFolders(const std::string& top, int count, std::mt19937& rng) {
  ::mkdir(top.c_str(), 0755);
  std::vector<std::string> folders{top};
  // Level sizes a x b x c close to count.
  const int a = 10, b = 10, c = count / 100 > 0 ? count / 100 : 1;
  for (int i = 0; i < a; ++i) {
    const std::string l1 = top + "/d" + std::to_string(i);
    ::mkdir(l1.c_str(), 0755);
    folders.push_back(l1);
    for (int j = 0; j < b; ++j) {
      const std::string l2 = l1 + "/e" + std::to_string(j);
      ::mkdir(l2.c_str(), 0755);
      folders.push_back(l2);
      for (int k = 0; k < c; ++k) {
        const std::string l3 = l2 + "/f" + std::to_string(k + 1000 * static_cast<int>(rng() % 7));
        if (::mkdir(l3.c_str(), 0755) == 0) folders.push_back(l3);
      }
    }
  }
  return folders;
}

void MakeFile(const std::string& path, time_t mtime) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) {
    std::perror(path.c_str());
    std::exit(1);
  }
  struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
  ::futimens(fd, times);
  ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: make_trees ROOT FILES\n");
    return 2;
  }
  const std::string root = argv[1];
  const int files = std::atoi(argv[2]);
  std::mt19937 rng(42);
  ::mkdir(root.c_str(), 0755);
  const std::vector<std::string> a = MakeFolders(root + "/A", files / 50, rng);
  const std::vector<std::string> b = MakeFolders(root + "/B", files / 50, rng);
  const int shared = files / 2;
  for (int i = 0; i < files; ++i) {
    const bool is_shared = i < shared;
    const std::string name_a = (is_shared ? "shared_" : "only_a_") + std::to_string(i) + ".dat";
    MakeFile(a[rng() % a.size()] + "/" + name_a, kBase);
    const std::string name_b = (is_shared ? "shared_" : "only_b_") + std::to_string(i) + ".dat";
    const bool newer = is_shared && i % 10 == 0;
    MakeFile(b[rng() % b.size()] + "/" + name_b, newer ? kBase + 3600 : kBase);
  }
  std::printf("%s: %d files in %zu folders per tree\n", root.c_str(), files, a.size());
  return 0;
}

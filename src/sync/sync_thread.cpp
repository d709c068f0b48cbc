#include "sync/sync_thread.h"

#include <future>

#include "sync/sync_run.h"

namespace tandrel {
namespace {

// Runs `task` on the window's thread and waits for it there.
template <typename Result>
Result PostAndWait(const SyncThread::Post& post, std::function<Result()> task) {
  std::promise<Result> promise;
  std::future<Result> future = promise.get_future();
  post([&] {
    if constexpr (std::is_void_v<Result>) {
      task();
      promise.set_value();
    } else {
      promise.set_value(task());
    }
  });
  return future.get();
}

}  // namespace

// The plan as the run sees it: rows are read where they are, every change
// is posted.
class SyncThread::PostedPlan final : public PlanList {
 public:
  PostedPlan(PlanList& plan, const Post& post) : plan_(plan), post_(post) {}
  void Clear() override {
    post_([&plan = plan_] { plan.Clear(); });
  }
  void Append(std::vector<PlanRow> rows) override {
    post_([&plan = plan_, rows = std::move(rows)]() mutable { plan.Append(std::move(rows)); });
  }
  int Count() const override { return plan_.Count(); }
  PlanRow Row(int position) const override { return plan_.Row(position); }
  void SetChecked(int position, bool checked) override {
    post_([&plan = plan_, position, checked] { plan.SetChecked(position, checked); });
  }
  void SetAllChecked(bool checked) override {
    post_([&plan = plan_, checked] { plan.SetAllChecked(checked); });
  }
  void SetAction(int position, const std::string& action) override {
    post_([&plan = plan_, position, action] { plan.SetAction(position, action); });
  }

 private:
  PlanList& plan_;
  const Post& post_;
};

// The shell as the run sees it: every call is made on the window's thread,
// and waited for.
class SyncThread::PostedShell final : public Shell {
 public:
  PostedShell(Shell& shell, const Post& post, const Task& before, const Task& after)
      : shell_(shell), post_(post), before_(before), after_(after) {}
  void ShowMessage(const std::string& text) override {
    PostAndWait<void>(post_, [&] {
      if (before_) before_();
      shell_.ShowMessage(text);
      if (after_) after_();
    });
  }
  Pointer WindowPointer() const override {
    return PostAndWait<Pointer>(post_, [&] { return shell_.WindowPointer(); });
  }
  void SetWindowPointer(Pointer pointer) override {
    PostAndWait<void>(post_, [&] { shell_.SetWindowPointer(pointer); });
  }
  std::string BrowseForFolder(const std::string& title) override {
    return PostAndWait<std::string>(post_, [&] { return shell_.BrowseForFolder(title); });
  }
  void StartDetached(const std::string& program, const std::vector<std::string>& arguments,
                     bool minimized) override {
    PostAndWait<void>(post_, [&] { shell_.StartDetached(program, arguments, minimized); });
  }

 private:
  Shell& shell_;
  const Post& post_;
  const Task& before_;
  const Task& after_;
};

SyncThread::SyncThread(PlanList& plan, Shell& shell, Post post)
    : post_(std::move(post)),
      plan_(std::make_unique<PostedPlan>(plan, post_)),
      shell_(std::make_unique<PostedShell>(shell, post_, before_message_, after_message_)) {}

SyncThread::~SyncThread() {
  if (thread_.joinable()) thread_.join();
}

void SyncThread::AroundMessages(Task before, Task after) {
  before_message_ = std::move(before);
  after_message_ = std::move(after);
}

void SyncThread::Start(const CompareRequest& compared, FileSystem& fs, Task finished) {
  thread_ = std::thread([this, compared, &fs, finished = std::move(finished)] {
    SyncOptions options;
    options.stop = stop_.get_token();
    options.progress = &progress_;
    performed_ = SyncRun(*plan_, compared, *shell_, fs, options);
    post_(finished);
  });
}

std::string SyncThread::StoppedText() const {
  if (!stop_.stop_requested() || performed_) return {};
  return StoppedMessage(progress_.rows_done.load(), progress_.rows_total.load());
}

}  // namespace tandrel

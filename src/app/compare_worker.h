// Runs the plan building of a compare run on a thread of its own, so that
// the window repaints and answers while two big trees are walked.
//
// The thread owns everything it reads (the file system by shared
// ownership, copies of the two folder texts) and hands its result back to
// this object on the window's thread. When this object goes away first, the
// thread is told to stop and its result is dropped; it is never waited for,
// so closing the window does not wait for a walk to notice the request.
#pragma once

#include <QObject>
#include <functional>
#include <memory>

#include "compare/compare_run.h"
#include "compare/plan.h"
#include "platform/file_system.h"

namespace tandrel {

class CompareWorker final : public QObject {
  Q_OBJECT

 public:
  using Done = std::function<void(BuildResult)>;

  explicit CompareWorker(std::shared_ptr<FileSystem> fs, QObject* parent = nullptr);
  ~CompareWorker() override;

  bool Running() const { return running_; }

  // Starts building the plan for `request`; `done` runs on this object's
  // thread when it is built. Must not be called while Running().
  void Start(const CompareRequest& request, Done done);

 private:
  struct Mailbox;

  void Deliver(std::shared_ptr<BuildResult> result);

  std::shared_ptr<FileSystem> fs_;
  std::shared_ptr<Mailbox> mailbox_;
  bool running_ = false;
  Done done_;
};

}  // namespace tandrel

#include "app/compare_worker.h"

#include <mutex>
#include <stop_token>
#include <thread>

#include "sync/recovery.h"

namespace tandrel {

// Shared by the window side and one building thread. The receiver is reset
// under the lock when the window side goes away, and the thread posts its
// result under the same lock, so it never posts to an object being
// destroyed; a result already posted is dropped by Qt with its receiver.
struct CompareWorker::Mailbox {
  std::mutex mutex;
  CompareWorker* receiver = nullptr;
  std::stop_source stop;
};

CompareWorker::CompareWorker(std::shared_ptr<FileSystem> fs, QObject* parent)
    : QObject(parent), fs_(std::move(fs)) {}

CompareWorker::~CompareWorker() {
  if (!mailbox_) return;
  std::lock_guard<std::mutex> lock(mailbox_->mutex);
  mailbox_->receiver = nullptr;
  mailbox_->stop.request_stop();
}

void CompareWorker::Start(const CompareRequest& request, Done done) {
  running_ = true;
  done_ = std::move(done);
  mailbox_ = std::make_shared<Mailbox>();
  mailbox_->receiver = this;
  std::thread([mailbox = mailbox_, fs = fs_, request] {
    BuildOptions options;
    options.stop = mailbox->stop.get_token();
    auto result = std::make_shared<BuildResult>(
        RecoverThenBuildPlan(*fs, request.folder1, request.folder2, options));
    std::lock_guard<std::mutex> lock(mailbox->mutex);
    if (mailbox->receiver == nullptr) return;
    QMetaObject::invokeMethod(
        mailbox->receiver,
        [receiver = mailbox->receiver, result = std::move(result)] { receiver->Deliver(result); },
        Qt::QueuedConnection);
  }).detach();
}

void CompareWorker::Deliver(std::shared_ptr<BuildResult> result) {
  running_ = false;
  mailbox_.reset();
  Done done = std::move(done_);
  done_ = nullptr;
  if (done) done(std::move(*result));
}

}  // namespace tandrel

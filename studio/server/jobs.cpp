// jobs.cpp — see jobs.h.
#include "server/jobs.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "server/child.h"
#include "video/pendingFile.h"

namespace fs = std::filesystem;
using Json = nlohmann::json;

namespace {

constexpr const char* kStateName = ".vrax-studio-jobs.json";
// Far more than a queue a person keeps; the oldest finished ones go first.
constexpr size_t kKeptJobs = 200;
constexpr std::uintmax_t kMaxStateBytes = 4 << 20;

const char* const kStates[] = {"queued", "running", "done", "failed", "cancelled"};

Json toJson(const Job& job) {
  return Json{{"id", job.id},       {"project", job.project}, {"output", job.output},
              {"state", stateName(job.state)}, {"done", job.done}, {"total", job.total},
              {"speed", job.speed}, {"left", job.left},       {"message", job.message}};
}

// One job as the state file holds it; every field checked before use.
Result<Job> fromJson(const Json& item) {
  Job job;
  try {
    job.id = item.at("id").get<int>();
    job.project = item.at("project").get<std::string>();
    job.output = item.at("output").get<std::string>();
    const std::string state = item.at("state").get<std::string>();
    job.done = item.at("done").get<int64_t>();
    job.total = item.at("total").get<int64_t>();
    job.message = item.at("message").get<std::string>();
    const auto found = std::find(std::begin(kStates), std::end(kStates), state);
    if (found == std::end(kStates) || job.id < 1 || job.done < 0 || job.total < 0 ||
        job.project.find('/') != std::string::npos || job.output.find('/') != std::string::npos) {
      return Status::failure("a job with a field out of range");
    }
    job.state = static_cast<Job::State>(found - std::begin(kStates));
  } catch (const Json::exception& e) {
    return Status::failure(e.what());
  }
  return job;
}

}  // namespace

const char* stateName(Job::State state) { return kStates[state]; }

JobQueue::JobQueue(std::string studio, std::string folder)
    : studio_(std::move(studio)), folder_(std::move(folder)), stateFile_((fs::path(folder_) / kStateName).string()) {}

JobQueue::~JobQueue() { stop(); }

Status JobQueue::start() {
  std::error_code error;
  if (fs::exists(stateFile_, error)) {
    const std::uintmax_t size = fs::file_size(stateFile_, error);
    if (error || size > kMaxStateBytes) {
      return Status::failure(stateFile_ + " is not the render queue's (move it away to start afresh)");
    }
    std::ifstream in(stateFile_);
    std::stringstream text;
    text << in.rdbuf();
    try {
      const Json state = Json::parse(text.str());
      if (state.at("vrax-jobs").get<int>() != 1) {
        throw std::runtime_error("another version");
      }
      for (const Json& item : state.at("jobs")) {
        Result<Job> job = fromJson(item);
        if (!job) {
          throw std::runtime_error(job.why());
        }
        // The server that ran it is gone, and with it the child.
        if (job.value().state == Job::Running) {
          job.value().state = Job::Failed;
          job.value().message = "the server stopped during this render";
        }
        nextId_ = std::max(nextId_, job.value().id + 1);
        jobs_.push_back(job.value());
      }
    } catch (const std::exception& e) {
      return Status::failure(stateFile_ + " is not the render queue's (" + e.what() +
                             "); move it away to start afresh");
    }
  }
  worker_ = std::thread([this] { work(); });
  return Status();
}

void JobQueue::stop() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    if (stopping_ && !worker_.joinable()) {
      return;
    }
    stopping_ = true;
    if (running_ > 0) {
      kill(running_, SIGINT);
    }
    changed();
  }
  // A render told to stop says so and ends within a frame; one that does
  // not is ended.
  for (int waited = 0; waited < 50; ++waited) {
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (running_ < 0) {
        break;
      }
      if (waited == 49) {
        kill(running_, SIGKILL);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  if (worker_.joinable()) {
    worker_.join();
  }
}

int JobQueue::add(const std::string& project, const std::string& output) {
  std::lock_guard<std::mutex> hold(lock_);
  Job job;
  job.id = nextId_++;
  job.project = project;
  job.output = output;
  jobs_.push_back(job);
  changed();
  return job.id;
}

bool JobQueue::cancel(int id) {
  std::lock_guard<std::mutex> hold(lock_);
  Job* job = find(id);
  if (job == nullptr || (job->state != Job::Queued && job->state != Job::Running)) {
    return false;
  }
  if (job->state == Job::Queued) {
    job->state = Job::Cancelled;
  } else {
    cancelAsked_ = true;
    // The first signal asks the render to stop after its frame; the second,
    // sent by the worker once it has seen the first taken, removes the file.
    kill(running_, SIGINT);
  }
  changed();
  return true;
}

std::vector<Job> JobQueue::jobs() const {
  std::lock_guard<std::mutex> hold(lock_);
  return jobs_;
}

uint64_t JobQueue::version() const {
  std::lock_guard<std::mutex> hold(lock_);
  return version_;
}

bool JobQueue::stopping() const {
  std::lock_guard<std::mutex> hold(lock_);
  return stopping_;
}

uint64_t JobQueue::waitForChange(uint64_t seen, int seconds) const {
  std::unique_lock<std::mutex> hold(lock_);
  wake_.wait_for(hold, std::chrono::seconds(seconds), [&] { return version_ != seen || stopping_; });
  return version_;
}

std::string JobQueue::json() const {
  std::lock_guard<std::mutex> hold(lock_);
  Json list = Json::array();
  for (const Job& job : jobs_) {
    list.push_back(toJson(job));
  }
  return list.dump();
}

Job* JobQueue::find(int id) {
  for (Job& job : jobs_) {
    if (job.id == id) {
      return &job;
    }
  }
  return nullptr;
}

void JobQueue::changed() {
  ++version_;
  wake_.notify_all();
}

void JobQueue::save() const {
  Json list = Json::array();
  const size_t first = jobs_.size() > kKeptJobs ? jobs_.size() - kKeptJobs : 0;
  for (size_t i = first; i < jobs_.size(); ++i) {
    list.push_back(toJson(jobs_[i]));
  }
  const std::string temp = stateFile_ + "." + std::to_string(getpid());
  {
    std::ofstream out(temp, std::ios::trunc);
    out << Json{{"vrax-jobs", 1}, {"jobs", list}}.dump(1) << '\n';
    if (!out.flush()) {
      std::remove(temp.c_str());
      return;  // the queue in memory is still right; the next change tries again
    }
  }
  if (std::rename(temp.c_str(), stateFile_.c_str()) != 0) {
    std::remove(temp.c_str());
  }
}

void JobQueue::work() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    save();
    wake_.wait(hold, [&] {
      return stopping_ ||
             std::any_of(jobs_.begin(), jobs_.end(), [](const Job& job) { return job.state == Job::Queued; });
    });
    if (stopping_) {
      return;
    }
    const auto next =
        std::find_if(jobs_.begin(), jobs_.end(), [](const Job& job) { return job.state == Job::Queued; });
    next->state = Job::Running;
    cancelAsked_ = false;
    const Job job = *next;
    changed();
    save();
    hold.unlock();
    runJob(job);
    hold.lock();
  }
}

void JobQueue::runJob(Job job) {
  int pipeEnds[2];
  if (pipe2(pipeEnds, O_CLOEXEC) != 0) {
    std::lock_guard<std::mutex> hold(lock_);
    find(job.id)->state = Job::Failed;
    find(job.id)->message = std::string("cannot start the render: ") + std::strerror(errno);
    changed();
    return;
  }
  Result<pid_t> child = spawnStudio(studio_, {"render", job.project, "--progress", "json"}, folder_, pipeEnds[1]);
  close(pipeEnds[1]);
  if (!child) {
    close(pipeEnds[0]);
    std::lock_guard<std::mutex> hold(lock_);
    find(job.id)->state = Job::Failed;
    find(job.id)->message = child.why();
    changed();
    return;
  }
  {
    std::lock_guard<std::mutex> hold(lock_);
    running_ = child.value();
    if (stopping_) {
      kill(running_, SIGINT);
    }
  }
  follow(job.id, pipeEnds[0], child.value());
}

// One line of the child's: a progress object, or one of its messages (the
// last of which says why it failed).
void JobQueue::take(int id, const std::string& line, pid_t child, std::string& lastLine) {
  if (!line.empty() && line[0] == '{') {
    try {
      const Json report = Json::parse(line);
      std::lock_guard<std::mutex> hold(lock_);
      Job* job = find(id);
      job->done = report.at("done").get<int64_t>();
      job->total = report.at("total").get<int64_t>();
      job->speed = report.at("speed").get<double>();
      job->left = report.at("left").get<double>();
      changed();
    } catch (const Json::exception&) {
      lastLine = line;
    }
  } else if (line.rfind("vrax-studio: ", 0) == 0) {
    lastLine = line.substr(13);
    std::lock_guard<std::mutex> hold(lock_);
    if (cancelAsked_ || stopping_) {
      // The render has taken the first signal; the second ends it at once,
      // its half-written file removed.
      kill(child, SIGINT);
    }
  }
}

// Reads the child's lines until it closes its end, then sees how it ended.
void JobQueue::follow(int id, int fromChild, pid_t child) {
  std::string pending;
  std::string lastLine;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(fromChild, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      break;
    }
    pending.append(buffer, static_cast<size_t>(got));
    for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
      take(id, pending.substr(0, end), child, lastLine);
      pending.erase(0, end + 1);
    }
    if (pending.size() > 65536) {
      pending.clear();  // a line that long is noise, not a report
    }
  }
  close(fromChild);
  int status = 0;
  while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  ended(id, status, lastLine);
}

void JobQueue::ended(int id, int status, const std::string& lastLine) {
  std::lock_guard<std::mutex> hold(lock_);
  running_ = -1;
  Job* job = find(id);
  const std::string output = (fs::path(folder_) / job->output).string();
  const bool cancelled = cancelAsked_ || stopping_;
  if (WIFEXITED(status) && WEXITSTATUS(status) == 0 && !cancelled) {
    job->state = Job::Done;
    job->done = job->total;
    job->left = 0;
  } else {
    job->state = cancelled ? Job::Cancelled : Job::Failed;
    job->message = cancelled ? (stopping_ ? "the server stopped during this render" : "cancelled")
                             : failureLine(status, lastLine);
    // Nothing half-made stays: the hidden file a killed render leaves, and
    // a shortened video a stopped one finished.
    PendingFile::removeLeftovers(output);
    if (cancelled && WIFEXITED(status) && WEXITSTATUS(status) == 0) {
      std::remove(output.c_str());
    }
  }
  changed();
}

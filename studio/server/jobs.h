// jobs.h — the page's render queue: each job a child `vrax-studio render
// PROJECT --progress json`, one at a time, in the order asked.
//
// A job that fails (a bad option, a crash, a kill, a full disk) fails alone:
// its child's last line is its message, what it left half-written is
// removed, and the next job starts. The queue and the finished jobs are kept
// in a state file in the folder (written to a hidden file, then renamed),
// so a restarted server shows them again; a job the last server was running
// when it stopped is shown failed.
//
// Threading: the queue owns one worker thread that starts and follows the
// children; every public call may come from any thread (the server's
// request threads) and takes the one lock.
#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "base/status.h"

struct Job {
  enum State { Queued, Running, Done, Failed, Cancelled };
  int id = 0;
  std::string project;  // NAME.vrax.json, relative to the folder
  std::string output;   // NAME.mp4, relative to the folder
  State state = Queued;
  int64_t done = 0;  // frames
  int64_t total = 0;
  double speed = 0;  // × real time
  double left = 0;   // seconds
  std::string message;  // the child's own last line, for a failure
};

const char* stateName(Job::State state);

class JobQueue {
 public:
  // studio: the program each job runs; folder: where projects, outputs and
  // the state file are.
  JobQueue(std::string studio, std::string folder);
  ~JobQueue();
  JobQueue(const JobQueue&) = delete;
  JobQueue& operator=(const JobQueue&) = delete;

  // Reads the state file (a missing one is an empty queue), then starts the
  // worker. Refused when the file is not the queue's.
  Status start();
  // Stops the worker; a running child is interrupted (its half-written file
  // removed) and its job is left failed.
  void stop();

  int add(const std::string& project, const std::string& output);
  // False when there is no such job or it has ended.
  bool cancel(int id);
  std::vector<Job> jobs() const;
  // A number that changes whenever a job does.
  uint64_t version() const;
  // Waits until version() is not `seen`, the queue stops or `seconds` pass;
  // returns the version then.
  uint64_t waitForChange(uint64_t seen, int seconds) const;
  bool stopping() const;
  // The jobs as the page and the state file see them.
  std::string json() const;

 private:
  void work();
  void runJob(Job job);
  void follow(int id, int fromChild, pid_t child);
  void take(int id, const std::string& line, pid_t child, std::string& lastLine);
  void ended(int id, int status, const std::string& lastLine);
  void changed();  // with the lock held
  void save() const;  // with the lock held
  Job* find(int id);

  std::string studio_;
  std::string folder_;
  std::string stateFile_;
  mutable std::mutex lock_;
  mutable std::condition_variable wake_;
  std::vector<Job> jobs_;
  int nextId_ = 1;
  uint64_t version_ = 0;
  bool stopping_ = false;
  pid_t running_ = -1;  // the child now rendering
  bool cancelAsked_ = false;
  std::thread worker_;
};

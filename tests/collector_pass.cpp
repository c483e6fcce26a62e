// collector_pass.cpp -- drives the statistics collector through the message
// queue, as the router does, so that it can be tested end to end on its own.
//
//   collector-pass REQUEST...   one request per argument, one after the other
//   collector-pass              one request per line of standard input
//
// For each request it emits the text to "SysStats" from "Router", waits for
// the reply and prints one line: "Reply complete:<true|false> message:<text>".
// Reading requests from standard input lets a test change the appliance
// between passes. The queue's own trace lines appear on standard output too.
// A request that names no category gets no reply, so this would wait for ever.

#include <stdio.h>
#include <unistd.h>

#include <iostream>
#include <string>

#include "CCommon.h"
#include "SysStats.h"

namespace {

void Ask(threadargs* args, const std::string& categories) {
  wqueue request;
  request.subscribers.push_back("SysStats");
  request.message = categories;
  request.from = "Router";
  CCommon::EmitMessage(args->mutex, args->queue, request);
  wqueue reply;
  // The collector looks at the queue once a second; polling faster only
  // shortens the wait after its reply.
  while (!CCommon::WaitForMessage(args->mutex, args->queue, "Router", &reply)) usleep(50 * 1000);
  std::cout << "Reply complete:" << (reply.complete ? "true" : "false")
            << " message:" << reply.message << std::endl;
}

}  // namespace

int main(int argc, char** argv) {
  pthread_mutex_init(&g_mutex, nullptr);
  threadargs* args = new threadargs{&g_queue, &g_mutex};  // lives as long as the process
  pthread_t tSysStats;
  if (pthread_create(&tSysStats, nullptr, thread_SysStats, args) != 0) {
    fprintf(stderr, "collector-pass: cannot start the collector thread\n");
    return 1;
  }
  if (argc > 1) {
    for (int i = 1; i < argc; ++i) Ask(args, argv[i]);
  } else {
    std::string line;
    while (std::getline(std::cin, line)) Ask(args, line);
  }
  // The collector never ends and may be inside a queue operation: leave
  // without destroying the queue under it.
  fflush(stdout);
  _exit(0);
}

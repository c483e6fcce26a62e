// Router.cpp -- the websocket service and the router loop.

#include "Router.h"

#include <pthread.h>
#include <stdio.h>

#include "CCommon.h"

void* thread_Router(void*) {
  CCommon::Log("Thread Router started");
  printf("libwebsocket init failed\n");
  fflush(stdout);
  pthread_exit(nullptr);
}

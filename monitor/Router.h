// Router.h -- the websocket service on port 7081 and the router thread that
// requests statistics, forwards them to every client and answers client lines.

#ifndef MONITOR_ROUTER_H_
#define MONITOR_ROUTER_H_

/// The router thread. arg is the threadargs record. Returns (with a null
/// exit value) only when the websocket server cannot be created.
void* thread_Router(void* arg);

#endif  // MONITOR_ROUTER_H_

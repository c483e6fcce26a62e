// Router.h -- the websocket service on port 7081 and the router thread that
// requests statistics, forwards them to every client and answers client lines.
//
// DESIGN: thread_Router is the only thread that calls libwebsockets, and every
// callback below runs on it, inside lws_service. One router pass services the
// library (waiting at most 50 ms), forwards the queue's messages for "Router"
// to the clients, carries out the lines that clients sent, counts down to the
// next statistics request and sleeps 100 ms. The collector is reached only
// through g_queue (CCommon.h); the two locks g_mutex and wsBufferMutex are
// never held together.
//
// This libwebsockets generation has no broadcast call. A broadcast adds its
// text once to an Outbox; each "monitoring" connection established at that
// moment writes the texts it has not sent yet, in order, whole, one text frame
// each, whenever the library calls it back as writeable.

#ifndef MONITOR_ROUTER_H_
#define MONITOR_ROUTER_H_

#include <libwebsockets.h>
#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "CCommon.h"

// Socket descriptors of the established "monitoring" connections, in the
// order they were established. Router thread only (no lock); the router loop
// asks only whether anybody is connected.
extern std::list<int> remoteSockets;

// Texts received from "monitoring" clients, oldest first, one entry per
// received message. Guarded by wsBufferMutex, which the router thread
// initialises before it creates the server and never destroys.
extern std::deque<std::string> wsBuffer;
extern pthread_mutex_t wsBufferMutex;

// The subprotocols, in the order that matters: the library hands plain HTTP
// (and websockets that name no subprotocol) to the first entry, "http-only";
// the router broadcasts to the second, "monitoring". Ends with an empty entry.
extern struct lws_protocols protocols[];

/// "http-only": answers a plain HTTP request for "/" with the bare 11 bytes
/// "Hello World"; other paths get nothing. Always returns 0.
int callback_http(struct lws* wsi, enum lws_callback_reasons reason, void* user, void* in,
                  size_t len);
/// "monitoring": counts connections in remoteSockets, queues received texts
/// in wsBuffer and writes broadcast texts. Always returns 0.
int callback_ws(struct lws* wsi, enum lws_callback_reasons reason, void* user, void* in,
                size_t len);

/// The router thread. arg is the threadargs record. Returns (ends the thread
/// with a null exit value) only when the websocket server cannot be created.
void* thread_Router(void* arg);

// --- the pieces of a router pass that do not touch the library ------------

/// Texts broadcast to the "monitoring" connections and not yet written to all
/// of them. A connection that joins receives every text added while it is
/// joined, once and in order; texts added before it joined are not its
/// business. A text is kept once, however many connections it goes to, and is
/// freed when the last connection that owes it has written it or left.
class Outbox {
 public:
  /// One text behind the LWS_PRE bytes that lws_write fills with the frame
  /// header. The header of a text frame depends only on the length, so the
  /// same frame can be written to one connection after another.
  class Frame {
   public:
    explicit Frame(const std::string& text);
    unsigned char* text() { return bytes_.data() + LWS_PRE; }
    size_t size() const { return bytes_.size() - LWS_PRE; }
    bool Holds(const std::string& text) const;

   private:
    std::vector<unsigned char> bytes_;
  };

  void Join(const void* connection);
  /// Releases what connection still owed; unknown connections are ignored.
  void Leave(const void* connection);
  bool empty() const { return next_.empty(); }

  /// Queues text for every joined connection; does nothing if none is joined.
  void Add(const std::string& text);
  /// The next frame connection has to write, or null when it is up to date.
  Frame* Next(const void* connection);
  /// Marks the frame that Next returned as written.
  void Written(const void* connection);

  /// How many texts connection has still to write.
  size_t Behind(const void* connection) const;
  /// The connections with more than limit texts still to write.
  std::vector<const void*> Laggards(size_t limit) const;
  /// How many texts are held for somebody.
  size_t held() const { return entries_.size(); }

 private:
  struct Entry {
    std::shared_ptr<Frame> frame;
    size_t owed;  // connections that have still to write it
  };
  void Trim();

  std::deque<Entry> entries_;  // in broadcast order
  uint64_t first_ = 0;         // sequence number of entries_.front()
  // Per joined connection: the sequence number of its next text.
  std::unordered_map<const void*, uint64_t> next_;
};

/// What one line from a client asks for. The fields of a line are its pieces
/// between slashes (CCommon::Tokenizer with '/').
struct ClientCommand {
  enum Kind { kIgnore, kStatsCache, kStats };
  Kind kind = kIgnore;
  std::string categories;  ///< kStats: the second field, e.g. "system,network"
};
/// Reads one received text: one trailing line feed is dropped (a carriage
/// return before it stays, so "statscache\r\n" asks for nothing); a first
/// field "statscache" asks for the cache, "stats" with a second field for
/// those categories; anything else, empty lines included, for nothing.
ClientCommand parseClientLine(std::string line);

/// The router's state between passes.
struct RouterState {
  wqueue cache;           ///< latest message for "Router" whose complete is true
  int32_t countdown = 0;  ///< passes until the next statistics request
};

/// Sends one text to every "monitoring" client.
using Broadcast = std::function<void(const std::string&)>;

/// Takes every message addressed to "Router" off the queue, in queue order:
/// broadcasts its text when a client is connected, and keeps it as the cache
/// when it is complete (whether or not anybody is connected).
void routeMessages(threadargs* args, RouterState* state, bool clientsConnected,
                   const Broadcast& broadcast);
/// Carries out one client line. "statscache" broadcasts the cache, if there is
/// one, and makes this pass's countdown run out; "stats/<categories>" asks the
/// collector for those categories at once.
void runClientLine(const std::string& line, threadargs* args, RouterState* state,
                   const Broadcast& broadcast);
/// Counts one pass. When the count runs out, asks the collector for all
/// categories and starts again from 290 passes while a client is connected,
/// from 9000 while nobody is.
void countDown(threadargs* args, RouterState* state, bool clientsConnected);

#endif  // MONITOR_ROUTER_H_

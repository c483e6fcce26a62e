// Router.cpp -- the websocket service on port 7081 and the router loop.
// Everything here runs on the router thread, the one thread that calls
// libwebsockets; only wsBuffer is also guarded by a lock of its own.

#include "Router.h"

#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>

std::list<int> remoteSockets;
std::deque<std::string> wsBuffer;
pthread_mutex_t wsBufferMutex;

namespace {

// Memory per connection is what limits a thousand clients: the library gives
// each connection a receive buffer of this size (its default is the 4 kB
// service buffer, a resident page per client). It also bounds what one service
// call reads from a connection: about 1 kB a pass, plenty for command lines,
// slow only for a client that sends megabytes.
const size_t kReceiveBufferSize = 1024;
// Without it, every send() would be cut to the receive buffer's size and a
// larger document would trickle out one piece per router pass.
const size_t kSendPacketSize = 64 * 1024;

}  // namespace

struct lws_protocols protocols[] = {
    {"http-only", callback_http, 0, kReceiveBufferSize, 0, nullptr, 0},
    {"monitoring", callback_ws, 0, kReceiveBufferSize, 0, nullptr, kSendPacketSize},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

namespace {

const char kRouterName[] = "Router";
const char kCollectorName[] = "SysStats";
const char kAllCategories[] = "system,network,services";
const int kPort = 7081;
const int32_t kPassesWhileConnected = 29 * 10;
const int32_t kPassesWhileAlone = 900 * 10;
const int kServiceWaitMs = 50;
const useconds_t kPassSleepUs = 100000;

// The longest client line kept. No command comes near it; the rest of a longer
// message is dropped, so a client cannot make the daemon hold its megabytes.
const size_t kMaxLineLength = 4096;
// A connection this many texts behind has stopped reading while texts keep
// coming (a client flooding "statscache" without reading the answers), and
// the kernel's buffers for it are full. It is closed, so that it cannot pin
// every later broadcast in memory. At one document per 29 s this is a day of
// not reading; a reader stays far below it even while others send thousands
// of lines, since each pass reads only about 1 kB from each connection.
const size_t kMaxTextsBehind = 4096;

// What the router keeps of a "monitoring" connection. The library allocates
// nothing per connection (both table entries declare size 0).
struct Connection {
  int fd;                // as appended to remoteSockets
  std::string received;  // the message being received, up to kMaxLineLength
};

// Router thread only, like everything the callbacks touch.
std::unordered_map<const struct lws*, Connection> connections;
Outbox outbox;

// Console lines of the callbacks: whole lines, flushed at once, because the
// launcher discards stdout and tests read it while the daemon runs.
void PrintLine(const char* line) {
  fputs(line, stdout);
  fputc('\n', stdout);
  fflush(stdout);
}

void Receive(struct lws* wsi, const char* in, size_t len) {
  auto it = connections.find(wsi);
  if (it == connections.end()) return;
  std::string& received = it->second.received;
  received.append(in, std::min(len, kMaxLineLength - received.size()));
  // A message may arrive in several pieces: a large frame is handed over as
  // the library reads it, and a fragmented message frame by frame.
  if (!lws_is_final_fragment(wsi)) return;
  std::string text = received.substr(0, received.find('\0'));
  std::string().swap(received);  // give back what a long message took
  pthread_mutex_lock(&wsBufferMutex);  // wsBuffer {
  wsBuffer.push_back(std::move(text));
  pthread_mutex_unlock(&wsBufferMutex);  // } wsBuffer
}

// Writes what the connection owes while the socket takes it. One frame per
// writeable callback would drain a burst of broadcasts at the pace of the
// router passes, about seven frames a second.
void WriteOwed(struct lws* wsi) {
  bool first = true;
  while (Outbox::Frame* frame = outbox.Next(wsi)) {
    if (!first && lws_send_pipe_choked(wsi)) break;
    first = false;
    // lws_write takes the whole frame even when the socket does not: it keeps
    // the rest and sends it before it calls us writeable again.
    if (lws_write(wsi, frame->text(), frame->size(), LWS_WRITE_TEXT) < 0) return;
    outbox.Written(wsi);
  }
  if (outbox.Next(wsi)) lws_callback_on_writable(wsi);
}

void BroadcastText(struct lws_context* context, const std::string& text) {
  if (outbox.empty()) return;
  outbox.Add(text);
  lws_callback_on_writable_all_protocol(context, &protocols[1]);
}

void CloseLaggards() {
  for (const void* connection : outbox.Laggards(kMaxTextsBehind)) {
    // Not the texts but the connection goes: the library closes it in its next
    // service call, and the closed callback releases what it owed.
    lws_set_timeout(static_cast<struct lws*>(const_cast<void*>(connection)),
                    PENDING_TIMEOUT_USER_OK, LWS_TO_KILL_ASYNC);
  }
}

bool TakeClientLine(std::string* line) {
  pthread_mutex_lock(&wsBufferMutex);  // wsBuffer {
  bool taken = !wsBuffer.empty();
  if (taken) {
    *line = std::move(wsBuffer.front());
    wsBuffer.pop_front();
  }
  pthread_mutex_unlock(&wsBufferMutex);  // } wsBuffer
  return taken;
}

struct lws_context* CreateContext() {
  struct lws_context_creation_info info;
  memset(&info, 0, sizeof info);  // otherwise uninitialised garbage
  info.port = kPort;
  info.iface = nullptr;  // all interfaces
  info.protocols = protocols;
  // No extensions: permessage-deflate, the library's only one, costs each
  // connection that accepts it about 300 kB of zlib state, which a thousand
  // clients would turn into 300 MB. Our texts are a few hundred bytes.
  info.extensions = nullptr;
  info.gid = -1;
  info.uid = -1;
  info.options = 0;
  return lws_create_context(&info);
}

void ServiceTimerFired(lws_sorted_usec_list_t*) {}

void EmitRequest(threadargs* args, const std::string& categories, const std::string& from) {
  wqueue request;
  request.subscribers.push_back(kCollectorName);
  request.message = categories;
  request.from = from;
  request.complete = false;
  CCommon::EmitMessage(args->mutex, args->queue, request);
}

}  // namespace

// --- Outbox ----------------------------------------------------------------

Outbox::Frame::Frame(const std::string& text) : bytes_(LWS_PRE + text.size()) {
  memcpy(bytes_.data() + LWS_PRE, text.data(), text.size());
}

bool Outbox::Frame::Holds(const std::string& text) const {
  return size() == text.size() && memcmp(bytes_.data() + LWS_PRE, text.data(), text.size()) == 0;
}

void Outbox::Join(const void* connection) { next_.emplace(connection, first_ + entries_.size()); }

void Outbox::Leave(const void* connection) {
  auto it = next_.find(connection);
  if (it == next_.end()) return;
  for (uint64_t seq = it->second; seq < first_ + entries_.size(); ++seq) {
    --entries_[seq - first_].owed;
  }
  next_.erase(it);
  Trim();
}

void Outbox::Add(const std::string& text) {
  if (next_.empty()) return;
  // "statscache" sends the same cached text again and again; a burst of it
  // then costs one copy, not one per line.
  std::shared_ptr<Frame> frame;
  if (!entries_.empty() && entries_.back().frame->Holds(text)) {
    frame = entries_.back().frame;
  } else {
    frame = std::make_shared<Frame>(text);
  }
  entries_.push_back(Entry{std::move(frame), next_.size()});
}

Outbox::Frame* Outbox::Next(const void* connection) {
  auto it = next_.find(connection);
  if (it == next_.end() || it->second == first_ + entries_.size()) return nullptr;
  return entries_[it->second - first_].frame.get();
}

void Outbox::Written(const void* connection) {
  auto it = next_.find(connection);
  if (it == next_.end() || it->second == first_ + entries_.size()) return;
  --entries_[it->second - first_].owed;
  ++it->second;
  Trim();
}

size_t Outbox::Behind(const void* connection) const {
  auto it = next_.find(connection);
  return it == next_.end() ? 0 : first_ + entries_.size() - it->second;
}

std::vector<const void*> Outbox::Laggards(size_t limit) const {
  std::vector<const void*> laggards;
  if (entries_.size() <= limit) return laggards;  // nobody can be further behind
  for (const auto& [connection, next] : next_) {
    if (first_ + entries_.size() - next > limit) laggards.push_back(connection);
  }
  return laggards;
}

void Outbox::Trim() {
  while (!entries_.empty() && entries_.front().owed == 0) {
    entries_.pop_front();
    ++first_;
  }
}

// --- the router pass ---------------------------------------------------------

ClientCommand parseClientLine(std::string line) {
  if (!line.empty() && line.back() == '\n') line.pop_back();
  std::vector<std::string> fields = CCommon::Tokenizer(line, '/');
  ClientCommand command;
  if (fields.empty()) return command;
  if (fields[0] == "statscache") {
    command.kind = ClientCommand::kStatsCache;
  } else if (fields[0] == "stats" && fields.size() >= 2) {
    command.kind = ClientCommand::kStats;
    command.categories = fields[1];
  }
  return command;
}

void routeMessages(threadargs* args, RouterState* state, bool clientsConnected,
                   const Broadcast& broadcast) {
  wqueue message;
  while (CCommon::WaitForMessage(args->mutex, args->queue, kRouterName, &message)) {
    if (clientsConnected) broadcast(message.message);
    if (message.complete) state->cache = message;
  }
}

void runClientLine(const std::string& line, threadargs* args, RouterState* state,
                   const Broadcast& broadcast) {
  ClientCommand command = parseClientLine(line);
  switch (command.kind) {
    case ClientCommand::kStatsCache:
      if (!state->cache.message.empty()) broadcast(state->cache.message);
      state->countdown = 0;
      break;
    case ClientCommand::kStats:
      // Answered like any other message for "Router"; cached only when the
      // categories happen to be all three.
      EmitRequest(args, command.categories, "");
      break;
    case ClientCommand::kIgnore:
      break;
  }
}

void countDown(threadargs* args, RouterState* state, bool clientsConnected) {
  if (--state->countdown > 0) return;
  EmitRequest(args, kAllCategories, kRouterName);
  state->countdown = clientsConnected ? kPassesWhileConnected : kPassesWhileAlone;
}

// --- the library's callbacks -------------------------------------------------

int callback_http(struct lws* wsi, enum lws_callback_reasons reason, void*, void* in,
                  size_t len) {
  if (reason != LWS_CALLBACK_HTTP) return 0;
  const char* uri = static_cast<const char*>(in);
  printf("requested URI: %.*s\n", static_cast<int>(len), uri);
  fflush(stdout);
  if (len == 1 && uri[0] == '/') {
    // No status line and no header: the greeting is all the client gets. The
    // library closes the connection after its idle time-out.
    static const char kGreeting[] = "Hello World";
    unsigned char buffer[LWS_PRE + sizeof kGreeting];
    memcpy(buffer + LWS_PRE, kGreeting, sizeof kGreeting - 1);
    lws_write(wsi, buffer + LWS_PRE, sizeof kGreeting - 1, LWS_WRITE_HTTP);
  }
  return 0;
}

int callback_ws(struct lws* wsi, enum lws_callback_reasons reason, void*, void* in, size_t len) {
  switch (reason) {
    case LWS_CALLBACK_ESTABLISHED: {
      PrintLine("Client connection established");
      int fd = lws_get_socket_fd(wsi);
      remoteSockets.push_back(fd);
      connections[wsi] = Connection{fd, std::string()};
      outbox.Join(wsi);
      break;
    }
    case LWS_CALLBACK_CLOSED: {
      PrintLine("Client closed connection");
      auto it = connections.find(wsi);
      if (it == connections.end()) break;
      // The descriptor as it was at establishment: the socket may be gone now.
      remoteSockets.remove(it->second.fd);
      connections.erase(it);
      outbox.Leave(wsi);
      break;
    }
    case LWS_CALLBACK_RECEIVE:
      Receive(wsi, static_cast<const char*>(in), len);
      break;
    case LWS_CALLBACK_SERVER_WRITEABLE:
      WriteOwed(wsi);
      break;
    case LWS_CALLBACK_FILTER_PROTOCOL_CONNECTION:
      break;  // every client is welcome
    default:
      printf("unhandled ws callback %d\n", static_cast<int>(reason));
      fflush(stdout);
      break;
  }
  return 0;
}

// --- the thread --------------------------------------------------------------

void* thread_Router(void* arg) {
  threadargs* args = static_cast<threadargs*>(arg);
  CCommon::Log("Thread Router started");
  pthread_mutex_init(&wsBufferMutex, nullptr);
  RouterState state;

  struct lws_context* context = CreateContext();
  if (!context) {
    PrintLine("libwebsocket init failed");
    pthread_exit(nullptr);
  }
  Broadcast broadcast = [context](const std::string& text) { BroadcastText(context, text); };

  lws_sorted_usec_list_t serviceTimer;
  memset(&serviceTimer, 0, sizeof serviceTimer);
  for (;;) {
    // This library generation ignores lws_service's time-out and would wait
    // for the next network event, however long: a timer due in 50 ms is what
    // bounds the wait.
    lws_sul_schedule(context, 0, &serviceTimer, ServiceTimerFired,
                     kServiceWaitMs * LWS_US_PER_MS);
    lws_service(context, kServiceWaitMs);

    CCommon::Cleanup(args->mutex, args->queue);
    routeMessages(args, &state, !remoteSockets.empty(), broadcast);
    std::string line;
    while (TakeClientLine(&line)) runClientLine(line, args, &state, broadcast);
    // Write what this pass broadcast now, not a sleep later: a broadcast
    // reaches its clients in the pass that makes it. The call does not wait.
    if (outbox.held() > 0) lws_service(context, -1);
    CloseLaggards();
    countDown(args, &state, !remoteSockets.empty());
    usleep(kPassSleepUs);
  }
}

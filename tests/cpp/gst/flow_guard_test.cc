// FlowGuard on bare pads and loopback sockets: bytes without a frame, frames over the size
// limit, the RTSP request socket, and a read that only a shutdown ends.
#include "kelvo/flow_guard.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "fakes/eventually.h"

namespace kelvo {
namespace {

using testing::eventually;

constexpr uint64_t kMaxPixels = 100;  // byte limit: 2 × 100 × 3 = 600

GstFlowReturn swallow(GstPad* /*pad*/, GstObject* /*parent*/, GstBuffer* buffer) {
  gst_buffer_unref(buffer);
  return GST_FLOW_OK;
}

class FlowGuardTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { gst_init(nullptr, nullptr); }

  void SetUp() override {
    guard_->attach(bus_.get());
    gst_pad_set_chain_function(sink_.get(), swallow);
    gst_pad_set_active(src_.get(), TRUE);
    gst_pad_set_active(sink_.get(), TRUE);
    ASSERT_EQ(gst_pad_link(src_.get(), sink_.get()), GST_PAD_LINK_OK);
    gst_pad_push_event(src_.get(), gst_event_new_stream_start("guarded"));
  }
  void TearDown() override {
    gst_pad_set_active(src_.get(), FALSE);
    gst_pad_set_active(sink_.get(), FALSE);
  }

  void start_data(GstCaps* caps) {
    gst_pad_push_event(src_.get(), gst_event_new_caps(caps));
    gst_caps_unref(caps);
    GstSegment segment;
    gst_segment_init(&segment, GST_FORMAT_BYTES);
    gst_pad_push_event(src_.get(), gst_event_new_segment(&segment));
  }
  GstFlowReturn push(gsize bytes) {
    return gst_pad_push(src_.get(), gst_buffer_new_allocate(nullptr, bytes, nullptr));
  }
  // The texts of the errors posted so far.
  std::vector<std::string> errors() {
    std::vector<std::string> texts;
    while (GstMessage* message = gst_bus_pop_filtered(bus_.get(), GST_MESSAGE_ERROR)) {
      EXPECT_TRUE(guard_->is_own_message(message));
      GError* error = nullptr;
      gst_message_parse_error(message, &error, nullptr);
      texts.emplace_back(error->message);
      g_error_free(error);
      gst_message_unref(message);
    }
    return texts;
  }

  GstBusPtr bus_{gst_bus_new()};
  std::shared_ptr<FlowGuard> guard_ = std::make_shared<FlowGuard>(kMaxPixels);
  GstPadPtr src_{GST_PAD(gst_object_ref_sink(gst_pad_new("src", GST_PAD_SRC)))};
  GstPadPtr sink_{GST_PAD(gst_object_ref_sink(gst_pad_new("sink", GST_PAD_SINK)))};
};

TEST_F(FlowGuardTest, BytesWithoutAFrameStopTheSourceOnce) {
  EXPECT_EQ(guard_->byte_limit(), 600u);
  guard_->count_bytes(src_.get());
  start_data(gst_caps_new_empty_simple("application/octet-stream"));
  EXPECT_EQ(push(400), GST_FLOW_OK);
  guard_->on_frame();
  EXPECT_EQ(push(400), GST_FLOW_OK);  // counted from the frame on
  EXPECT_EQ(push(200), GST_FLOW_OK);  // 600: not more than the limit
  EXPECT_FALSE(guard_->tripped());
  EXPECT_EQ(push(1), GST_FLOW_FLUSHING);
  EXPECT_TRUE(guard_->tripped());
  guard_->on_frame();  // too late: the source stays stopped
  EXPECT_EQ(push(1), GST_FLOW_FLUSHING);
  EXPECT_EQ(errors(), std::vector<std::string>{"The source sent more than 600 bytes without a frame"});
}

struct SizeCase {
  const char* caps;
  const char* error;  // null: passes
};

class FrameSizeTest : public FlowGuardTest, public ::testing::WithParamInterface<SizeCase> {};

TEST_P(FrameSizeTest, CapsOfAFrameOverTheLimitNeverPass) {
  guard_->check_frame_size(src_.get());
  start_data(gst_caps_from_string(GetParam().caps));
  const bool refused = GetParam().error != nullptr;
  GstCapsPtr passed(gst_pad_get_current_caps(sink_.get()));
  EXPECT_EQ(passed == nullptr, refused);
  EXPECT_EQ(push(10), refused ? GST_FLOW_FLUSHING : GST_FLOW_OK);
  EXPECT_EQ(errors(), refused ? std::vector<std::string>{GetParam().error}
                              : std::vector<std::string>{});
}

INSTANTIATE_TEST_SUITE_P(
    Caps, FrameSizeTest,
    ::testing::Values(
        SizeCase{"image/jpeg, width=(int)10, height=(int)10", nullptr},
        SizeCase{"image/jpeg, width=(int)16000, height=(int)16000",
                 "Frame of 16000x16000 pixels is larger than the limit of 100 pixels"},
        SizeCase{"video/x-raw, format=I420, width=(int)1, height=(int)101",
                 "Frame of 1x101 pixels is larger than the limit of 100 pixels"},
        SizeCase{"video/x-h264, stream-format=byte-stream", nullptr}));

// A connected TCP pair on 127.0.0.1.
struct SocketPair {
  SocketPair() {
    GObjectPtr<GInetAddress> loopback(g_inet_address_new_loopback(G_SOCKET_FAMILY_IPV4));
    GObjectPtr<GSocketAddress> any(g_inet_socket_address_new(loopback.get(), 0));
    listener.reset(g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_STREAM,
                                G_SOCKET_PROTOCOL_TCP, nullptr));
    g_socket_bind(listener.get(), any.get(), TRUE, nullptr);
    g_socket_listen(listener.get(), nullptr);
    address.reset(g_socket_get_local_address(listener.get(), nullptr));
  }
  void connect() {
    client.reset(g_socket_new(G_SOCKET_FAMILY_IPV4, G_SOCKET_TYPE_STREAM, G_SOCKET_PROTOCOL_TCP,
                              nullptr));
    ASSERT_TRUE(g_socket_connect(client.get(), address.get(), nullptr, nullptr));
    server.reset(g_socket_accept(listener.get(), nullptr, nullptr));
    ASSERT_TRUE(server);
  }
  void send(size_t bytes) {
    const std::string data(bytes, 'x');
    ASSERT_EQ(g_socket_send(server.get(), data.data(), data.size(), nullptr, nullptr),
              static_cast<gssize>(bytes));
  }
  // One read: the bytes read, 0 once the socket reads as ended.
  gssize receive() {
    char buffer[4096];
    return g_socket_receive(client.get(), buffer, sizeof buffer, nullptr, nullptr);
  }
  void drain(gssize bytes) {
    while (bytes > 0) {
      const gssize got = receive();
      ASSERT_GT(got, 0);
      bytes -= got;
    }
  }

  GObjectPtr<GSocket> listener, client, server;
  GObjectPtr<GSocketAddress> address;
};

TEST_F(FlowGuardTest, RequestSocketBytesWithoutAFrameShutTheSocket) {
  SocketPair sockets;
  sockets.connect();
  guard_->set_control_socket(sockets.client.get());
  sockets.send(500);
  sockets.drain(500);
  guard_->poll();
  guard_->on_frame();
  guard_->poll();  // the count starts again at 500
  sockets.send(600);
  sockets.drain(600);
  guard_->poll();
  EXPECT_FALSE(guard_->tripped());
  sockets.send(1);
  sockets.drain(1);
  ASSERT_TRUE(eventually([&] {
    guard_->poll();
    return guard_->tripped();
  }));
  EXPECT_EQ(errors(), std::vector<std::string>{"The source sent more than 600 bytes without a frame"});
  EXPECT_EQ(sockets.receive(), 0);  // shut down: reads end
}

TEST_F(FlowGuardTest, ShutdownEndsAReadThatWouldNeverEnd) {
  SocketPair sockets;
  sockets.connect();
  guard_->set_control_socket(sockets.client.get());
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    guard_->shutdown_sockets();
  });
  EXPECT_EQ(sockets.receive(), 0);  // blocks until the shutdown
  stopper.join();
  EXPECT_FALSE(guard_->tripped());
}

TEST(FlowGuardSockets, TheSocketConnectedOnThisThreadIsFound) {
  FlowGuard::watch_socket_connections();
  SocketPair sockets;
  GObjectPtr<GSocketClient> client(g_socket_client_new());
  GObjectPtr<GSocketConnection> connection(g_socket_client_connect(
      client.get(), G_SOCKET_CONNECTABLE(sockets.address.get()), nullptr, nullptr));
  ASSERT_TRUE(connection);
  EXPECT_EQ(FlowGuard::last_connected_socket().get(),
            g_socket_connection_get_socket(connection.get()));
  std::thread([] { EXPECT_EQ(FlowGuard::last_connected_socket(), nullptr); }).join();
  connection.reset();
  EXPECT_EQ(FlowGuard::last_connected_socket(), nullptr);  // held weakly
}

}  // namespace
}  // namespace kelvo

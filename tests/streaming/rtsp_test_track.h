// A made-up track for the RTSP server's tests: frames from Source (made
// with the environment), sent by a plain RTP sink of payload Name, the
// source shared between the clients of a stream.
#pragma once
#include "streaming/rtsp/rtp_formats.h"
#include "streaming/rtsp/server.h"

template <class Source>
class TestTrack : public OnDemandServerMediaSubsession {
 public:
  TestTrack(UsageEnvironment &env, const char *payload, unsigned kbps)
      : OnDemandServerMediaSubsession(env, true), payload_(payload), kbps_(kbps) {}

 protected:
  FramedSource *createNewStreamSource(unsigned, unsigned &estBitrate) override {
    estBitrate = kbps_;
    return new Source(envir());
  }
  RTPSink *createNewRTPSink(Groupsock *gs, unsigned char pt, FramedSource *) override {
    return SimpleRTPSink::createNew(envir(), gs, pt, 90000, "video", payload_, 1, false, true);
  }

 private:
  const char *payload_;
  unsigned kbps_;
};

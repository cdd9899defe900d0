// Flatten and unflatten throughput of a typical request: routing arrays, a dozen mixed
// fields and one nested object. Prints bytes/s (MB/s) and messages/s (items_per_second).
#include <benchmark/benchmark.h>

#include "message/message.h"

namespace {

vl::message typicalMessage() {
  vl::message object;
  object.setU32(vl::STD_ID, 0x1234);
  object.setString(vl::STD_NAME, "ether1");
  object.setBool(vl::STD_DISABLED, false);
  object.setU64(vl::STD_COUNT, 1234567890123ull);

  vl::message msg;
  msg.setU32Array(vl::SYS_TO, {24, 1, 3});
  msg.setU32Array(vl::SYS_FROM, {0x10, 0x2A});
  msg.setU32(vl::SYS_TYPE, vl::TYPE_REQUEST);
  msg.setU32(vl::SYS_CMD, vl::CMD_SETOBJ);
  msg.setU32(vl::SYS_REQID, 70001);
  msg.setBool(vl::SYS_REPLYEXP, true);
  msg.setU32(vl::STD_ID, 0x1234);
  msg.setString(vl::STD_NAME, "ether1");
  msg.setString(vl::STD_DESCR, "uplink to the distribution switch, rack 4");
  msg.setU64(vl::STD_INTERVAL, 30000);
  msg.setAddr6(vl::SYS_RADDR6,
               {0xfe, 0x80, 0, 0, 0, 0, 0, 0, 0x02, 0x0c, 0x42, 0xff, 0xfe, 0x12, 0x34, 0x56});
  msg.setRaw(0x420001, vl::Bytes(32, 0xA5));
  msg.setStringArray(vl::STD_QUERY, {"name", "mtu", "disabled"});
  (void)msg.setMessage(vl::STD_OBJS, object);
  return msg;
}

void setRates(benchmark::State& state, std::size_t bytes) {
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bytes));
  state.SetItemsProcessed(state.iterations());
  state.counters["flat_bytes"] = static_cast<double>(bytes);
}

void flattenToVector(benchmark::State& state) {
  const vl::message msg = typicalMessage();
  vl::Bytes out;
  for (auto _ : state) {
    out.clear();
    benchmark::DoNotOptimize(vl::flatten(msg, out));
    benchmark::ClobberMemory();
  }
  setRates(state, out.size());
}
BENCHMARK(flattenToVector);

void flattenToBuffer(benchmark::State& state) {
  const vl::message msg = typicalMessage();
  std::uint8_t buffer[4096];
  std::uint32_t size = 0;
  for (auto _ : state) {
    size = sizeof buffer;
    benchmark::DoNotOptimize(vl::flatten(msg, buffer, size));
    benchmark::ClobberMemory();
  }
  setRates(state, size);
}
BENCHMARK(flattenToBuffer);

void unflattenWithMode(benchmark::State& state, int mode) {
  vl::Bytes flat;
  if (!vl::flatten(typicalMessage(), flat)) {
    state.SkipWithError("typical message does not encode");
    return;
  }
  vl::message msg;
  for (auto _ : state) {
    benchmark::DoNotOptimize(vl::unflatten(msg, flat, mode));
    benchmark::ClobberMemory();
  }
  setRates(state, flat.size());
}
BENCHMARK_CAPTURE(unflattenWithMode, normal, vl::kUnflattenNormal);
BENCHMARK_CAPTURE(unflattenWithMode, recording, vl::kUnflattenRecording);

// A round trip with the nested object read back, as a service handling a request does.
void unflattenAndReadNested(benchmark::State& state) {
  vl::Bytes flat;
  if (!vl::flatten(typicalMessage(), flat)) {
    state.SkipWithError("typical message does not encode");
    return;
  }
  vl::message msg;
  for (auto _ : state) {
    benchmark::DoNotOptimize(vl::unflatten(msg, flat));
    benchmark::DoNotOptimize(msg.getMessage(vl::STD_OBJS));
  }
  setRates(state, flat.size());
}
BENCHMARK(unflattenAndReadNested);

}  // namespace

BENCHMARK_MAIN();

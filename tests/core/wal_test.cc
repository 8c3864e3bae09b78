// The log's framing: exact record bytes, read-back stopping rules (torn, damaged, foreign key),
// cut-back after damage, truncation, failed appends, the marker/CRC ambiguity, the directory lock.
#include "core/storage/wal.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <thread>

#include "core/util/crc32.h"

namespace tarnwell_core {
namespace {

using Bytes = std::vector<uint8_t>;

const char kKeyHex[] = "8f1e6a0b3c5d7e9f11223344556677889900aabbccddeeff0123456789abcdef";
const char kOtherKeyHex[] = "00112233445566778899aabbccddeeff00112233445566778899aabbccddeeff";

std::shared_ptr<const EncryptionKey> make_key(const char* hex) {
  return *EncryptionKey::from_hex(hex);
}

Bytes payload_of(std::string_view s) { return {s.begin(), s.end()}; }

// A payload whose CRC-32 is 0xFFFFFFFF: `prefix` followed by four bytes solved for. CRC-32 is
// affine over GF(2), so the four bytes come from a 32x32 linear system rather than a search.
Bytes with_crc_all_ones(Bytes prefix) {
  prefix.resize(prefix.size() + 4, 0);
  const size_t at = prefix.size() - 4;
  auto crc_with = [&](uint32_t x) {
    for (int i = 0; i < 4; ++i) prefix[at + i] = static_cast<uint8_t>(x >> (8 * i));
    return crc32_ieee(prefix);
  };
  const uint32_t base = crc_with(0);
  // Each input bit's effect on the CRC (low 32 bits) tagged with the bit itself (high 32 bits),
  // reduced to a basis keyed by the leading CRC bit.
  uint64_t basis[32] = {};
  for (int b = 0; b < 32; ++b) {
    uint64_t v = uint64_t{crc_with(1u << b) ^ base} | (uint64_t{1} << (32 + b));
    for (int bit = 31; bit >= 0; --bit) {
      if (!((v >> bit) & 1)) continue;
      if (basis[bit] == 0) {
        basis[bit] = v;
        break;
      }
      v ^= basis[bit];
    }
  }
  const uint32_t target = 0xFFFFFFFFu ^ base;
  uint64_t acc = 0;
  for (int bit = 31; bit >= 0; --bit) {
    if (((target ^ static_cast<uint32_t>(acc)) >> bit) & 1) acc ^= basis[bit];
  }
  crc_with(static_cast<uint32_t>(acc >> 32));
  return prefix;
}

class WalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "tw_wal_XXXXXX";
    ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    path_ = join_path(dir_, WAL_FILE_NAME);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::unique_ptr<SyncWriteAheadLog> open_log(std::shared_ptr<const EncryptionKey> key = nullptr) {
    auto w = SyncWriteAheadLog::open(dir_, std::move(key));
    EXPECT_TRUE(w.has_value()) << (w ? "" : w.error().message());
    return w ? std::move(*w) : nullptr;
  }
  void append_all(SyncWriteAheadLog& w, const std::vector<Bytes>& payloads) {
    for (const Bytes& p : payloads) ASSERT_TRUE(w.append(p).ok());
  }
  WalReadBack read_back(const EncryptionKey* key = nullptr) {
    auto r = read_wal(path_, key);
    EXPECT_TRUE(r.has_value()) << (r ? "" : r.error().message());
    return r ? std::move(*r) : WalReadBack{};
  }
  Bytes file_bytes() { return *read_file(path_); }
  void write_file(const Bytes& b) {
    std::ofstream(path_, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
  }
  uint64_t file_size() { return std::filesystem::file_size(path_); }

  std::string dir_;
  std::string path_;
};

void read_back_with_small_data_limit(const std::string& path) {
  struct rlimit lim;
  lim.rlim_cur = lim.rlim_max = size_t{256} << 20;
  ::setrlimit(RLIMIT_DATA, &lim);
  auto r = read_wal(path, nullptr);
  const bool ok = r && r->payloads.size() == 1 && r->stopped_early && r->good_end == 12;
  std::exit(ok ? 0 : 1);
}

const std::vector<Bytes> kThree = {payload_of("first record"), payload_of(""),
                                   payload_of(std::string(5000, 'z'))};

TEST_F(WalTest, RecordBytesOfA37BytePayload) {
  // Tag 3, the u64 1, "c", the u64 16 and 16 id bytes: 37 bytes.
  Bytes payload = {3, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 'c', 16, 0, 0, 0, 0, 0, 0, 0};
  for (uint8_t i = 0; i < 16; ++i) payload.push_back(0xA0 + i);
  ASSERT_EQ(payload.size(), 37u);
  const uint32_t crc = crc32_ieee(payload);
  {
    auto w = open_log();
    ASSERT_TRUE(w->append(payload).ok());
  }
  Bytes expected = {0,
                    0,
                    0,
                    37,
                    static_cast<uint8_t>(crc >> 24),
                    static_cast<uint8_t>(crc >> 16),
                    static_cast<uint8_t>(crc >> 8),
                    static_cast<uint8_t>(crc)};
  expected.insert(expected.end(), payload.begin(), payload.end());
  EXPECT_EQ(file_bytes(), expected);

  // Sealed: length 37 + 28 = 65, marker word, then the container the key opens.
  std::filesystem::remove(path_);
  auto key = make_key(kKeyHex);
  {
    auto w = open_log(key);
    ASSERT_TRUE(w->append(payload).ok());
  }
  Bytes sealed = file_bytes();
  ASSERT_EQ(sealed.size(), 8u + 65u);
  EXPECT_EQ(Bytes(sealed.begin(), sealed.begin() + 8),
            (Bytes{0, 0, 0, 65, 0xFF, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(*key->decrypt(std::span(sealed).subspan(8)), payload);
}

TEST_F(WalTest, RoundTripPlainAndSealed) {
  for (bool sealed : {false, true}) {
    SCOPED_TRACE(sealed);
    std::filesystem::remove(path_);
    auto key = sealed ? make_key(kKeyHex) : nullptr;
    {
      auto w = open_log(key);
      EXPECT_TRUE(read_back(key.get()).payloads.empty());  // created empty
      append_all(*w, kThree);
    }
    WalReadBack r = read_back(key.get());
    EXPECT_EQ(r.payloads, kThree);
    EXPECT_EQ(r.good_end, file_size());
    EXPECT_FALSE(r.stopped_early);
  }
  struct stat st;
  ASSERT_EQ(::stat(path_.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(read_wal(join_path(dir_, "absent.bin"), nullptr).error().sys_errno(), ENOENT);
}

TEST_F(WalTest, TornTailStopsAfterTheLastWholeRecord) {
  {
    auto w = open_log();
    append_all(*w, kThree);
  }
  const Bytes whole = file_bytes();
  const uint64_t end_of_second = whole.size() - 8 - 5000;
  struct Cut {
    const char* name;
    size_t keep;
  };
  for (const Cut& c : std::vector<Cut>{{"last byte missing", whole.size() - 1},
                                       {"payload half there", end_of_second + 8 + 2500},
                                       {"header only", end_of_second + 8},
                                       {"partial header", end_of_second + 3}}) {
    SCOPED_TRACE(c.name);
    write_file(Bytes(whole.begin(), whole.begin() + c.keep));
    WalReadBack r = read_back();
    EXPECT_EQ(r.payloads, (std::vector<Bytes>{kThree[0], kThree[1]}));
    EXPECT_EQ(r.good_end, end_of_second);
    EXPECT_TRUE(r.stopped_early);
  }
}

TEST_F(WalTest, AnyFlippedByteStopsAtItsRecord) {
  for (bool sealed : {false, true}) {
    SCOPED_TRACE(sealed);
    std::filesystem::remove(path_);
    auto key = sealed ? make_key(kKeyHex) : nullptr;
    {
      auto w = open_log(key);
      append_all(*w, {payload_of("one"), payload_of("two, the damaged one"), payload_of("three")});
    }
    const Bytes whole = file_bytes();
    const size_t first_end = 8 + 3 + (sealed ? 28 : 0);
    const size_t second_end = first_end + 8 + 20 + (sealed ? 28 : 0);
    for (size_t i = first_end; i < second_end; ++i) {
      Bytes bad = whole;
      bad[i] ^= 0x01;
      write_file(bad);
      WalReadBack r = read_back(key.get());
      ASSERT_EQ(r.payloads, std::vector<Bytes>{payload_of("one")}) << "byte " << i;
      EXPECT_EQ(r.good_end, first_end);
      EXPECT_TRUE(r.stopped_early);
    }
  }
}

// With a record check, damage followed by records that verify is passed over: every flipped
// byte of the middle record (its length field included) loses that record alone, while damage
// with nothing usable after it stays a torn tail. Payloads starting with 'r' count as records.
TEST_F(WalTest, DamageInTheMiddleLosesOnlyTheDamagedRecord) {
  const WalRecordCheck is_record = [](std::span<const uint8_t> p) {
    return !p.empty() && p[0] == 'r';
  };
  for (bool sealed : {false, true}) {
    SCOPED_TRACE(sealed);
    std::filesystem::remove(path_);
    auto key = sealed ? make_key(kKeyHex) : nullptr;
    const std::vector<Bytes> records = {payload_of("r one"), payload_of("r two, damaged"),
                                        payload_of("r three"), payload_of("r four")};
    {
      auto w = open_log(key);
      append_all(*w, records);
    }
    const Bytes whole = file_bytes();
    const size_t overhead = 8 + (sealed ? 28 : 0);
    const size_t first_end = overhead + records[0].size();
    const size_t second_end = first_end + overhead + records[1].size();
    for (size_t i = first_end; i < second_end; ++i) {
      Bytes bad = whole;
      bad[i] ^= 0x10;
      write_file(bad);
      auto got = read_wal(path_, key.get(), is_record);
      ASSERT_TRUE(got.has_value()) << got.error().message();
      EXPECT_EQ(got->payloads, (std::vector<Bytes>{records[0], records[2], records[3]}))
          << "byte " << i;
      EXPECT_EQ(got->skipped_bytes, second_end - first_end) << "byte " << i;
      EXPECT_EQ(got->good_end, whole.size());
      EXPECT_FALSE(got->stopped_early);
      ASSERT_EQ(got->spans.size(), 3u);
      EXPECT_EQ(got->spans[1].first, second_end);
    }
    // The same damage in the last record is a torn tail: nothing skipped, reading stops.
    Bytes tail = whole;
    tail[whole.size() - 2] ^= 0x10;
    write_file(tail);
    auto got = read_wal(path_, key.get(), is_record);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->payloads.size(), 3u);
    EXPECT_EQ(got->skipped_bytes, 0u);
    EXPECT_TRUE(got->stopped_early);
  }
}

TEST_F(WalTest, ZeroRunsAndFragmentsAreNotRecords) {
  const WalRecordCheck is_record = [](std::span<const uint8_t> p) {
    return !p.empty() && p[0] == 'r';
  };
  {
    auto w = open_log();
    append_all(*w, {payload_of("r kept")});
  }
  Bytes b = file_bytes();
  b.insert(b.end(), 64, 0);  // zeros frame empty records whose CRC passes
  write_file(b);
  auto got = read_wal(path_, nullptr, is_record);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->payloads, std::vector<Bytes>{payload_of("r kept")});
  EXPECT_EQ(got->skipped_bytes, 0u);
  EXPECT_TRUE(got->stopped_early);
  // A verifying record that the check refuses does not end the damage either.
  {
    auto w = open_log();
    append_all(*w, {payload_of("x not a record")});
  }
  got = read_wal(path_, nullptr, is_record);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->payloads.size(), 1u);
  EXPECT_TRUE(got->stopped_early);
  // Followed by a record, the zeros are damage in the middle.
  {
    auto w = open_log();
    append_all(*w, {payload_of("r after")});
  }
  got = read_wal(path_, nullptr, is_record);
  ASSERT_TRUE(got.has_value());
  EXPECT_EQ(got->payloads, (std::vector<Bytes>{payload_of("r kept"), payload_of("r after")}));
  EXPECT_EQ(got->skipped_bytes, 64u + 8 + 14);
  EXPECT_FALSE(got->stopped_early);
}

TEST_F(WalTest, RetractTakesBackOnlyTheLastRecord) {
  auto w = open_log();
  ASSERT_TRUE(w->append(payload_of("first")).ok());
  WalRecordSpan second, third;
  ASSERT_TRUE(w->append_locked(payload_of("second"), &second).ok());
  EXPECT_EQ(second.end, file_size());
  ASSERT_TRUE(w->append_locked(payload_of("third"), &third).ok());
  EXPECT_EQ(w->retract(second).value(), false);  // records follow it
  EXPECT_EQ(w->retract(third).value(), true);
  EXPECT_EQ(file_size(), second.end);
  ASSERT_TRUE(w->append(payload_of("fourth")).ok());
  EXPECT_EQ(read_back().payloads,
            (std::vector<Bytes>{payload_of("first"), payload_of("second"), payload_of("fourth")}));
}

TEST_F(WalTest, HugeLengthAtTheEndIsATornTailNotAnAllocation) {
  {
    auto w = open_log();
    append_all(*w, {payload_of("kept")});
  }
  Bytes b = file_bytes();
  b.insert(b.end(), {0xFF, 0xFF, 0xFF, 0xF0, 0, 0, 0, 0, 1, 2, 3});
  write_file(b);
  // In a child with a small data limit, a 4 GiB allocation would throw and fail the child.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the sanitizer's own mappings count against the data limit";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
  GTEST_SKIP() << "the sanitizer's own mappings count against the data limit";
#endif
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(read_back_with_small_data_limit(path_), ::testing::ExitedWithCode(0), "");
}

TEST_F(WalTest, MarkerWithoutAPossibleSealIsDamage) {
  // A record marked sealed but shorter than any sealed record is damage, even without a key.
  {
    auto w = open_log();
    append_all(*w, {payload_of("kept")});
  }
  Bytes b = file_bytes();
  b.insert(b.end(), {0, 0, 0, 3, 0xFF, 0xFF, 0xFF, 0xFF, 'a', 'b', 'c'});
  write_file(b);
  auto key = make_key(kKeyHex);
  for (const EncryptionKey* k : {static_cast<const EncryptionKey*>(nullptr), key.get()}) {
    WalReadBack r = read_back(k);
    EXPECT_EQ(r.payloads, std::vector<Bytes>{payload_of("kept")});
    EXPECT_TRUE(r.stopped_early);
  }
}

TEST_F(WalTest, CutBackThenAppendIsReadBack) {
  auto w = open_log();
  append_all(*w, kThree);
  Bytes b = file_bytes();
  b.pop_back();
  write_file(b);  // same inode: the writer's descriptor sees the torn tail
  WalReadBack r = read_back();
  ASSERT_TRUE(r.stopped_early);
  EXPECT_EQ(w->cut_back(file_size() + 1).code(), StatusCode::kInvalidArgument);
  ASSERT_TRUE(w->cut_back(r.good_end).ok());
  ASSERT_TRUE(w->append(payload_of("after the cut")).ok());
  WalReadBack again = read_back();
  EXPECT_EQ(again.payloads,
            (std::vector<Bytes>{kThree[0], kThree[1], payload_of("after the cut")}));
  EXPECT_FALSE(again.stopped_early);
}

TEST_F(WalTest, TruncateEmptiesAndNextAppendStartsAtZero) {
  auto w = open_log();
  append_all(*w, kThree);
  std::unique_lock checkpoint(w->checkpoint_lock());
  ASSERT_TRUE(w->truncate().ok());
  checkpoint.unlock();
  EXPECT_EQ(file_size(), 0u);
  ASSERT_TRUE(w->append(payload_of("fresh")).ok());
  EXPECT_EQ(file_size(), 8u + 5u);
  EXPECT_EQ(read_back().payloads, std::vector<Bytes>{payload_of("fresh")});
}

TEST_F(WalTest, TruncateOfAVanishedLogFailsAndKeepsTheWriter) {
  auto w = open_log();
  append_all(*w, {payload_of("a")});
  std::filesystem::remove(path_);
  Status s = w->truncate();
  EXPECT_EQ(s.code(), StatusCode::kIoError);
  EXPECT_EQ(s.sys_errno(), ENOENT);
  EXPECT_FALSE(std::filesystem::exists(path_));  // not recreated
  EXPECT_TRUE(w->append(payload_of("still writable")).ok());
}

TEST_F(WalTest, MarkerThatIsAlsoThePayloadCrc) {
  // Plain records whose CRC-32 equals the marker: read back as plain with or without a key, and
  // alongside sealed records.
  const Bytes short_one = with_crc_all_ones({});
  const Bytes long_one = with_crc_all_ones(payload_of("a plain payload longer than a seal..."));
  ASSERT_EQ(crc32_ieee(short_one), 0xFFFFFFFFu);
  ASSERT_EQ(crc32_ieee(long_one), 0xFFFFFFFFu);
  auto key = make_key(kKeyHex);
  {
    auto w = open_log();
    append_all(*w, {short_one, long_one});
  }
  const Bytes written = file_bytes();
  EXPECT_EQ(Bytes(written.begin() + 4, written.begin() + 8), (Bytes{0xFF, 0xFF, 0xFF, 0xFF}));
  for (const EncryptionKey* k : {static_cast<const EncryptionKey*>(nullptr), key.get()}) {
    WalReadBack r = read_back(k);
    EXPECT_EQ(r.payloads, (std::vector<Bytes>{short_one, long_one}));
    EXPECT_FALSE(r.stopped_early);
  }
  {
    auto w = open_log(key);
    append_all(*w, {payload_of("sealed after")});
  }
  EXPECT_EQ(read_back(key.get()).payloads,
            (std::vector<Bytes>{short_one, long_one, payload_of("sealed after")}));
}

TEST_F(WalTest, SealedLogWithoutItsKeyIsRefusedUntouched) {
  auto key = make_key(kKeyHex);
  auto other = make_key(kOtherKeyHex);
  {
    auto w = open_log();
    append_all(*w, {payload_of("plain first")});
  }
  {
    auto w = open_log(key);
    append_all(*w, {payload_of("sealed one"), payload_of("sealed two")});
  }
  const Bytes before = file_bytes();
  struct Case {
    const char* name;
    const EncryptionKey* key;
    std::string message;
  };
  for (const Case& c : std::vector<Case>{
           {"no key", nullptr, "WAL holds encrypted records but no encryption key was provided"},
           {"other key", other.get(),
            "WAL is encrypted with another key: the encryption key opens none of its encrypted "
            "records"}}) {
    SCOPED_TRACE(c.name);
    auto r = read_wal(path_, c.key);
    ASSERT_FALSE(r.has_value());
    EXPECT_EQ(r.error().code(), StatusCode::kInvalidData);
    EXPECT_EQ(r.error().message(), c.message);
    EXPECT_EQ(file_bytes(), before);
  }
  EXPECT_EQ(read_back(key.get()).payloads,
            (std::vector<Bytes>{payload_of("plain first"), payload_of("sealed one"),
                                payload_of("sealed two")}));
}

TEST_F(WalTest, DamagedFirstSealedRecordIsDamageWhenTheKeyOpensALaterOne) {
  auto key = make_key(kKeyHex);
  {
    auto w = open_log(key);
    append_all(*w, {payload_of("damaged"), payload_of("fine")});
  }
  Bytes b = file_bytes();
  b[8 + 12] ^= 0x40;  // first ciphertext byte
  write_file(b);
  WalReadBack r = read_back(key.get());
  EXPECT_TRUE(r.payloads.empty());
  EXPECT_EQ(r.good_end, 0u);
  EXPECT_TRUE(r.stopped_early);
}

TEST_F(WalTest, FailedAppendLeavesOnlyAcknowledgedRecords) {
  struct Case {
    const char* name;
    SyncWriteAheadLog::FaultsForTesting faults;
  };
  const std::vector<Case> cases = {
      {"write fails at once", {.write_errno = ENOSPC}},
      {"write fails after the header", {.write_errno = EIO, .write_partial_bytes = 8}},
      {"write fails one byte short", {.write_errno = EIO, .write_partial_bytes = 8 + 9}},
      {"sync fails after the write", {.sync_errno = EIO}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove(path_);
    auto w = open_log();
    append_all(*w, {payload_of("acked")});
    w->set_faults_for_testing(c.faults);
    Status s = w->append(payload_of("not acked"));
    EXPECT_EQ(s.code(), StatusCode::kIoError);
    EXPECT_NE(s.sys_errno(), 0);
    EXPECT_EQ(file_size(), 8u + 5u);
    w->set_faults_for_testing({});
    ASSERT_TRUE(w->append(payload_of("acked later")).ok());
    WalReadBack r = read_back();
    EXPECT_EQ(r.payloads, (std::vector<Bytes>{payload_of("acked"), payload_of("acked later")}));
    EXPECT_FALSE(r.stopped_early);
  }
}

TEST_F(WalTest, UndoableFailurePoisonsUntilTruncateOrReopen) {
  auto w = open_log();
  append_all(*w, {payload_of("acked")});
  w->set_faults_for_testing({.write_errno = EIO, .write_partial_bytes = 11, .cut_back_errno = EIO});
  Status first = w->append(payload_of("lost"));
  ASSERT_FALSE(first.ok());
  w->set_faults_for_testing({});
  const uint64_t damaged_size = file_size();
  EXPECT_EQ(damaged_size, 8u + 5u + 11u);
  Status later = w->append(payload_of("refused"));
  EXPECT_EQ(later, first);
  EXPECT_EQ(file_size(), damaged_size);

  // Reopening: the read-back sees exactly the acknowledged record, and after the cut-back new
  // appends are read back behind it.
  w.reset();
  w = open_log();
  WalReadBack r = read_back();
  EXPECT_EQ(r.payloads, std::vector<Bytes>{payload_of("acked")});
  ASSERT_TRUE(r.stopped_early);
  ASSERT_TRUE(w->cut_back(r.good_end).ok());
  ASSERT_TRUE(w->append(payload_of("after reopen")).ok());
  EXPECT_EQ(read_back().payloads,
            (std::vector<Bytes>{payload_of("acked"), payload_of("after reopen")}));

  // A successful truncate also clears the poison.
  w->set_faults_for_testing({.write_errno = EIO, .cut_back_errno = EIO});
  ASSERT_FALSE(w->append(payload_of("x")).ok());
  w->set_faults_for_testing({});
  ASSERT_FALSE(w->append(payload_of("x")).ok());
  ASSERT_TRUE(w->truncate().ok());
  ASSERT_TRUE(w->append(payload_of("clean")).ok());
  EXPECT_EQ(read_back().payloads, std::vector<Bytes>{payload_of("clean")});
}

TEST_F(WalTest, OversizedPayloadIsRefusedBeforeItIsRead) {
  auto w = open_log();
  const size_t n = SyncWriteAheadLog::kMaxPayloadBytes + 1;
  void* region = ::mmap(nullptr, n, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
  ASSERT_NE(region, MAP_FAILED);
  Status s = w->append(std::span<const uint8_t>(static_cast<const uint8_t*>(region), n));
  ::munmap(region, n);
  EXPECT_EQ(s.code(), StatusCode::kInvalidArgument);
  EXPECT_EQ(file_size(), 0u);
}

TEST_F(WalTest, OneWriterPerDirectory) {
  auto first = open_log();
  auto second = SyncWriteAheadLog::open(dir_, nullptr);
  ASSERT_FALSE(second.has_value());
  EXPECT_EQ(second.error().message(), "data directory '" + dir_ + "' is in use by another handle");

  // Another process is refused too.
  pid_t pid = ::fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(SyncWriteAheadLog::open(dir_, nullptr).has_value() ? 1 : 0);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);

  first.reset();
  EXPECT_TRUE(SyncWriteAheadLog::open(dir_, nullptr).has_value());
}

TEST_F(WalTest, OpenCreatesMissingParents) {
  dir_ = join_path(dir_, "deep/er");
  path_ = join_path(dir_, WAL_FILE_NAME);
  auto w = open_log();
  ASSERT_NE(w, nullptr);
  EXPECT_EQ(w->path(), path_);
  EXPECT_EQ(file_size(), 0u);
}

TEST_F(WalTest, ConcurrentAppendsNeverInterleave) {
  auto key = make_key(kKeyHex);
  auto w = open_log(key);
  constexpr int kThreads = 4, kEach = 25;
  std::vector<std::thread> threads;
  std::atomic<int> failures{0};
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < kEach; ++i) {
        Bytes p(static_cast<size_t>(100 + i * 37), static_cast<uint8_t>(t));
        p[0] = static_cast<uint8_t>(i);
        if (!w->append(p).ok()) ++failures;
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(failures.load(), 0);
  WalReadBack r = read_back(key.get());
  ASSERT_EQ(r.payloads.size(), size_t{kThreads * kEach});
  std::vector<int> next(kThreads, 0);
  for (const Bytes& p : r.payloads) {
    const int t = p.back();
    ASSERT_LT(t, kThreads);
    EXPECT_EQ(p[0], next[t]++);  // each thread's records in its own order, all intact
    EXPECT_EQ(p.size(), size_t(100 + p[0] * 37));
  }
}

// True while thread `tid` of this process sleeps in a futex wait on a word inside `lock`, which
// is how a thread blocks on that lock. Reads what the kernel reports, so it holds however slow
// or loaded the machine is.
// Under user-mode emulation (qemu-user) the kernel reports the host's system call numbers and
// addresses; there a thread whose kernel wait channel is a futex wait counts as blocked (the
// thread under test takes no other lock meanwhile).
template <class Lock>
bool blocked_on(pid_t tid, const Lock& lock) {
  const std::string task = "/proc/self/task/" + std::to_string(tid);
  std::ifstream in(task + "/syscall");
  long number = -1;
  std::string address;  // the futex word, "0x..."
  if (!(in >> number >> address)) return false;
  if (number != SYS_futex) {
    std::ifstream wchan_file(task + "/wchan");
    std::string wchan;
    return (wchan_file >> wchan) && wchan.find("futex") != std::string::npos;
  }
  const uintptr_t word = std::stoull(address, nullptr, 16);
  const auto begin = reinterpret_cast<uintptr_t>(&lock);
  return word >= begin && word < begin + sizeof(Lock);
}

// The appender is seen blocked on the lock the checkpoint holds before anything is checked, so
// the test always observes an append that waits, never one that has not started yet.
TEST_F(WalTest, ConcurrentAppendWaitsForAnExclusiveCheckpoint) {
  auto w = open_log();
  std::atomic<bool> done{false};
  std::atomic<pid_t> appender_tid{0};
  std::unique_lock checkpoint(w->checkpoint_lock());
  std::thread appender([&] {
    appender_tid = ::gettid();
    EXPECT_TRUE(w->append(payload_of("waits")).ok());
    done = true;
  });
  while (appender_tid.load() == 0) std::this_thread::yield();
  // An append that ignored the lock would finish instead of blocking.
  while (!done.load() && !blocked_on(appender_tid.load(), w->checkpoint_lock())) {
    std::this_thread::yield();
  }
  EXPECT_FALSE(done.load());
  EXPECT_EQ(file_size(), 0u);
  checkpoint.unlock();
  appender.join();
  EXPECT_TRUE(done.load());
  // append_locked is for a caller that already holds the lock shared: it does not take it again.
  {
    std::shared_lock shared(w->checkpoint_lock());
    EXPECT_TRUE(w->append_locked(payload_of("under the caller's hold")).ok());
  }
  EXPECT_EQ(read_back().payloads.size(), 2u);
}

}  // namespace
}  // namespace tarnwell_core

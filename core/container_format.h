// The .vexa model container: every record of the file as a plain struct with its fixed layout.
// All integers in the file are little-endian; the host is too, so records are copied in and out
// with memcpy (the image gives no alignment guarantee).
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace vexa {

static_assert(std::endian::native == std::endian::little, "container records are read in place");

// ---------------------------------------------------------------------------------------------
// Constants of the layout

inline constexpr uint64_t kContainerMagic = 0x41584556ull;  // "VEXA" then four zero bytes
inline constexpr uint64_t kContainerVersion = 1;
inline constexpr uint64_t kContainerHeaderBytes = 512;
inline constexpr uint64_t kWeightAlignmentBytes = 16384;
inline constexpr uint64_t kMaxMetadataRegionBytes = uint64_t{64} << 20;
inline constexpr uint64_t kSectionCount = 11;
inline constexpr uint64_t kSectionAlignmentBytes = 64;
inline constexpr uint64_t kSectionHeaderBytes = 32;
inline constexpr uint64_t kSectionKind = 1;
inline constexpr uint64_t kLayoutKind = 3;
inline constexpr uint64_t kDigestBytes = 16;
inline constexpr uint64_t kMaxStoredTensors = 1048576;
inline constexpr uint64_t kMaxGroups = 65536;
inline constexpr uint64_t kMaxAuxBlobBytes = 8388608;
inline constexpr uint64_t kDtypeEntryCount = 4;

// Q8 block: 64 signed bytes followed by an f32 scale.
inline constexpr uint64_t kQ8BlockElements = 64;
inline constexpr uint64_t kQ8BlockBytes = 68;
inline constexpr uint64_t kQ8ScaleOffsetBytes = 64;

// Room writers leave for in-place metadata edits.
inline constexpr uint64_t kStringPoolSpareBytes = 4096;
inline constexpr uint64_t kMetaSpareEntries = 64;
inline constexpr uint64_t kMetaFlagImmutable = 2;

inline constexpr uint64_t kGraphNodeMaxInputs = 8;
inline constexpr uint64_t kGraphNodeMaxOutputs = 4;
inline constexpr uint64_t kGraphNodeAttributeWords = 16;
inline constexpr uint64_t kGraphNodeUsedWords = 31;
inline constexpr uint64_t kGraphValueUsedWords = 15;
inline constexpr uint64_t kAbsentInput = ~uint64_t{0};  // optional input left out

// Section indices, in file order.
enum ContainerSection : uint32_t {
  kSectionStringPool = 0,
  kSectionMetaKv = 1,
  kSectionDtypes = 2,
  kSectionTensors = 3,
  kSectionGroups = 4,
  kSectionLayout = 5,
  kSectionNodes = 6,
  kSectionLoadSteps = 7,
  kSectionValues = 8,
  kSectionAux = 9,
  kSectionDigests = 10,
};

// ---------------------------------------------------------------------------------------------
// Header

struct SectionEntry {
  uint64_t offset;  // from the container start
  uint64_t size;    // bytes reserved, SectionHeader included
};
static_assert(sizeof(SectionEntry) == 16);

struct ContainerHeader {
  uint64_t magic;
  uint64_t version;
  uint64_t reserved0;
  uint64_t header_size;
  uint64_t container_length;
  uint64_t alignment;
  uint64_t weights_offset;
  uint64_t weights_size;
  SectionEntry sections[kSectionCount];
  uint8_t body_digest[16];
  uint8_t header_digest[16];
  uint32_t weights_fold;
  uint32_t reserved1;
  uint8_t reserved2[232];
};
static_assert(sizeof(ContainerHeader) == 512);
static_assert(offsetof(ContainerHeader, container_length) == 32);
static_assert(offsetof(ContainerHeader, weights_offset) == 48);
static_assert(offsetof(ContainerHeader, weights_size) == 56);
static_assert(offsetof(ContainerHeader, sections) == 64);
static_assert(offsetof(ContainerHeader, body_digest) == 240);
static_assert(offsetof(ContainerHeader, header_digest) == 256);
static_assert(offsetof(ContainerHeader, weights_fold) == 272);
static_assert(offsetof(ContainerHeader, reserved1) == 276);
static_assert(offsetof(ContainerHeader, reserved2) == 280);

inline constexpr uint64_t kHeaderBodyDigestOffset = offsetof(ContainerHeader, body_digest);
inline constexpr uint64_t kHeaderDigestOffset = offsetof(ContainerHeader, header_digest);
inline constexpr uint64_t kHeaderWeightsFoldOffset = offsetof(ContainerHeader, weights_fold);

// ---------------------------------------------------------------------------------------------
// Sections

struct SectionHeader {
  uint64_t kind;           // 1
  uint64_t entry_size;     // stride of the entries; may exceed the record size
  uint64_t entry_count;
  uint64_t payload_bytes;  // entry_count x entry_size as written
};
static_assert(sizeof(SectionHeader) == kSectionHeaderBytes);

// Section 2: entry d-1 describes data type d.
struct DtypeEntry {
  uint64_t reserved0;
  uint64_t bits_per_element;
  uint64_t elements_per_block;
  uint64_t bytes_per_block;
  uint64_t scale_dtype;
  uint64_t scale_offset;
  uint64_t reserved1;
  uint64_t dtype_class;  // 1 floating point, 2 integer, 3 block-quantised
};
static_assert(sizeof(DtypeEntry) == 64);
static_assert(offsetof(DtypeEntry, dtype_class) == 56);

inline constexpr uint64_t kDtypeClassFloat = 1;
inline constexpr uint64_t kDtypeClassInteger = 2;
inline constexpr uint64_t kDtypeClassBlock = 3;

// Section 3: one per stored tensor, in storage order.
struct TensorRecord {
  uint64_t name_offset;  // pool offset of a NUL-terminated name
  uint64_t dtype;        // 1 f16, 2 f32, 4 Q8 block
  uint64_t reserved0;
  uint64_t group;
  uint64_t rank;
  uint64_t dims[6];
  uint64_t absolute_offset;  // W + relative_offset
  uint64_t size;
  uint64_t padded_size;
  uint64_t relative_offset;
  uint64_t reserved1;
  uint64_t index;
  uint64_t row_bytes;
  uint64_t reserved2[6];
};
static_assert(sizeof(TensorRecord) == 192);
static_assert(offsetof(TensorRecord, rank) == 32);
static_assert(offsetof(TensorRecord, dims) == 40);
static_assert(offsetof(TensorRecord, absolute_offset) == 88);
static_assert(offsetof(TensorRecord, size) == 96);
static_assert(offsetof(TensorRecord, padded_size) == 104);
static_assert(offsetof(TensorRecord, relative_offset) == 112);
static_assert(offsetof(TensorRecord, reserved1) == 120);
static_assert(offsetof(TensorRecord, index) == 128);
static_assert(offsetof(TensorRecord, row_bytes) == 136);
static_assert(offsetof(TensorRecord, reserved2) == 144);

// Section 4: a run of consecutive tensors loaded by one read.
struct GroupRecord {
  uint64_t reserved0;
  uint64_t reserved1;
  uint64_t first_tensor;
  uint64_t tensor_count;
  uint64_t absolute_offset;
  uint64_t size;
  uint64_t relative_offset;
  uint64_t index;
  uint64_t reserved2[2];
};
static_assert(sizeof(GroupRecord) == 80);
static_assert(offsetof(GroupRecord, first_tensor) == 16);
static_assert(offsetof(GroupRecord, index) == 56);

// Section 5: exactly one.
struct LayoutRecord {
  uint64_t reserved0;
  uint64_t layout_kind;  // 3
  uint64_t reserved1;
  uint64_t group_count;
  uint64_t data_size;
  uint64_t weights_offset;
  uint64_t reserved2;
  uint64_t group_count_copy;
  uint64_t reserved3[4];
};
static_assert(sizeof(LayoutRecord) == 96);
static_assert(offsetof(LayoutRecord, data_size) == 32);
static_assert(offsetof(LayoutRecord, group_count_copy) == 56);

// Section 7: entries 0..G-1 are executed by the loaders; G..2G-1 are only validated.
struct LoadStep {
  uint64_t absolute_offset;
  uint64_t size;
  uint64_t relative_offset;
  uint64_t group;
  uint64_t ordinal;  // second set: group + 1
  uint64_t parity;   // second set: group & 1
};
static_assert(sizeof(LoadStep) == 48);

// Section 1 of graph models: the key/value table.
struct MetaEntry {
  uint64_t key_offset;    // pool offset
  uint64_t key_length;    // 0 marks an empty slot
  uint64_t value_type;    // MetaValueType; 0 marks an empty slot
  uint64_t flags;         // kMetaFlagImmutable
  uint64_t value;         // inline value (types 2..4) or pool offset (types 1, 5, 6, 7)
  uint64_t value_length;  // bytes of a pool-stored value
  uint64_t item_count;
  uint64_t reserved;
};
static_assert(sizeof(MetaEntry) == 64);
static_assert(offsetof(MetaEntry, value) == 32);
static_assert(offsetof(MetaEntry, item_count) == 48);

enum class MetaValueType : uint64_t {
  kString = 1,
  kF64 = 2,
  kI64 = 3,
  kBool = 4,
  kStringList = 5,
  kF32Array = 6,
  kOpaque = 7,  // pool-stored, no typed reader
};

// Section 6 of graph models. Word k of the record is words()[k].
struct GraphNode {
  uint64_t op_kind;
  uint64_t input_count;  // 0..8
  uint64_t inputs[kGraphNodeMaxInputs];
  uint64_t output_count;  // 1..4
  uint64_t outputs[kGraphNodeMaxOutputs];
  uint64_t attrs[kGraphNodeAttributeWords];
  uint64_t reserved;

  const uint64_t* words() const { return &op_kind; }
  uint64_t* words() { return &op_kind; }
};
static_assert(sizeof(GraphNode) == 256);
static_assert(offsetof(GraphNode, inputs) == 2 * 8);
static_assert(offsetof(GraphNode, output_count) == 10 * 8);
static_assert(offsetof(GraphNode, outputs) == 11 * 8);
static_assert(offsetof(GraphNode, attrs) == 15 * 8);
static_assert(offsetof(GraphNode, reserved) == 31 * 8);

enum class ValueKind : uint64_t {
  kGraphInput = 1,
  kWeight = 2,
  kIntermediate = 3,
  kGraphOutput = 4,
};

// Section 8 of graph models.
struct GraphValue {
  uint64_t kind;   // ValueKind
  uint64_t dtype;  // 1 f16, 2 f32, 3 i64, 4 Q8 block, 5 u8
  uint64_t rank;
  uint64_t dims[6];  // outermost first
  uint64_t element_count;
  uint64_t byte_size;
  uint64_t tensor_index;  // weights: the TensorRecord that stores it
  uint64_t data_offset;   // weights: relative offset in weight memory
  uint64_t name_offset;   // pool
  uint64_t name_length;
  uint64_t reserved;

  const uint64_t* words() const { return &kind; }
  uint64_t* words() { return &kind; }
};
static_assert(sizeof(GraphValue) == 128);
static_assert(offsetof(GraphValue, dims) == 3 * 8);
static_assert(offsetof(GraphValue, element_count) == 9 * 8);
static_assert(offsetof(GraphValue, tensor_index) == 11 * 8);
static_assert(offsetof(GraphValue, name_length) == 14 * 8);

// Section 9: offsets count from the container start, not from the pool.
struct AuxEntry {
  uint64_t name_offset;
  uint64_t reserved0;
  uint64_t blob_offset;
  uint64_t blob_size;  // at most kMaxAuxBlobBytes
  uint64_t reserved1[4];
};
static_assert(sizeof(AuxEntry) == 64);
static_assert(offsetof(AuxEntry, blob_size) == 24);

// Section 10: XXH3-128, low half then high half, each little-endian.
struct TensorDigest {
  uint64_t low;
  uint64_t high;
};
static_assert(sizeof(TensorDigest) == kDigestBytes);

// Entry sizes the writers use.
inline constexpr uint64_t kSectionEntrySizes[kSectionCount] = {
    1, sizeof(MetaEntry), sizeof(DtypeEntry), sizeof(TensorRecord), sizeof(GroupRecord),
    sizeof(LayoutRecord), sizeof(GraphNode), sizeof(LoadStep), sizeof(GraphValue),
    sizeof(AuxEntry), sizeof(TensorDigest)};

// ---------------------------------------------------------------------------------------------
// The f32 expansion plan: one entry per tensor, executed by the weight loaders instead of the
// load steps when an opened graph model stores f16 or Q8 weights.

struct F32Plan {
  uint64_t source_offset;       // stored tensor's absolute offset (add the base offset)
  uint64_t stored_size;
  uint64_t stored_padded_size;
  uint64_t stored_dtype;        // 1 f16, 2 f32, 4 Q8 block
  uint64_t rows;
  uint64_t row_length;          // elements per row
  uint64_t f32_offset;          // relative offset of the f32 copy in weight memory
  uint64_t tensor_index;
};
static_assert(sizeof(F32Plan) == 64);

// ---------------------------------------------------------------------------------------------
// Operator kinds. The names are fixed and printed by op_kind_name.

enum class OpKind : uint64_t {
  kSub = 1, kDiv = 2, kAdd = 3, kMul = 4, kConv = 5, kRelu = 6, kMaxPool = 7,
  kGlobalAveragePool = 8, kFlatten = 9, kGemm = 10, kSigmoid = 11, kHardSigmoid = 12,
  kHardSwish = 13, kTranspose = 14, kLayerNormalization = 15, kMatMul = 16, kErf = 17,
  kPRelu = 18, kBatchNormalization = 19, kConcat = 20, kIdentity = 21,
  kInstanceNormalization = 22, kAveragePool = 23, kShape = 24, kReshape = 25, kLeakyRelu = 26,
  kResize = 27, kConvTranspose = 28, kSoftmax = 29, kClip = 30, kArgMax = 31, kGelu = 32,
  kSplit = 33, kGather = 34, kUnsqueeze = 35, kSlice = 36, kSqueeze = 37, kPow = 38,
  kSqrt = 39, kReduceMean = 40, kEqual = 41, kWhere = 42, kExpand = 43,
  kDynamicQuantizeLinear = 44, kExp = 45, kConstantOfShape = 46, kReduceSum = 47, kTanh = 48,
  kDequantizeLinear = 49, kRange = 50, kLess = 51, kCos = 52, kSin = 53, kDepthToSpace = 54,
  kPad = 55, kDeformUnfold = 56, kDetrTopK = 57, kMaskToBoxLogit = 58, kLog = 59,
  kGridSample = 60, kAbs = 61, kNeg = 62, kFloor = 63, kCeil = 64, kRound = 65,
  kReciprocal = 66, kElu = 67, kSelu = 68, kMax = 69, kMin = 70, kReduceMax = 71,
  kReduceMin = 72, kReduceProd = 73, kCumSum = 74, kTopK = 75, kGatherND = 76,
  kScatterND = 77, kNonMaxSuppression = 78, kSpaceToDepth = 79, kMod = 80, kGreater = 81,
  kNot = 82, kAnd = 83, kOr = 84, kYoloNms = 85, kOneHot = 86, kCast = 87,
};
inline constexpr uint64_t kOpKindFirst = 1;
inline constexpr uint64_t kOpKindLast = 87;

// The fixed name of kinds 1..87; "UnknownOp" for any other value.
std::string_view op_kind_name(uint64_t kind);

// ---------------------------------------------------------------------------------------------
// Status of the container reader, the weight slot and the loaders.

enum class PackStatus : uint32_t {
  kIoFailed = 0,
  kInvalidHeader = 1,
  kInvalidSectionBounds = 2,
  kHashMismatch = 3,  // metadata or header digest
  kInvalidLoadPlan = 4,
  kInvalidTensorRecord = 5,
  kAllocationFailed = 6,
  kSlotBusy = 7,
  kSlotTooSmall = 8,
  kBackendFailed = 9,
  kTensorHashMismatch = 10,
};
inline constexpr uint32_t kPackStatusCount = 11;

// The fixed text of a status ("I/O failed" ... "tensor hash mismatch"); the returned view is
// NUL-terminated. Codes above 10 read "unknown status".
std::string_view pack_status_text(uint32_t code);
inline std::string_view pack_status_text(PackStatus code) {
  return pack_status_text(static_cast<uint32_t>(code));
}

// ---------------------------------------------------------------------------------------------
// Unaligned record access.

template <typename Record>
inline Record load_record(const uint8_t* at) {
  Record r;
  std::memcpy(&r, at, sizeof r);
  return r;
}

template <typename Record>
inline void store_record(uint8_t* at, const Record& r) {
  std::memcpy(at, &r, sizeof r);
}

}  // namespace vexa

// Update trust: the signed manifest that vouches for an update, the keys that may sign it, and the
// highest manifest version an engine folder has accepted.
//
// The manifest is a small line-based text published beside the document it vouches for (the
// updater descriptor): a format number, a version that only ever grows, an expiry time, the
// version offered, the SHA-256 and length of the document's exact bytes, and the SHA-256 and
// length of every file the document names, by its path relative to the document's folder. Its
// signatures are detached, one line each: "ed25519 <key id> <signature>", over the manifest's raw
// bytes. Nothing in the format is particular to the engine, so a game's file list can carry one
// the same way.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

constexpr char kManifestMagic[] = "tev-update-manifest";
constexpr uint32_t kManifestFormat = 1;
// Bounds of what a peer may make us read and hold.
constexpr size_t kMaxManifestSize = 64 * 1024;
constexpr size_t kMaxSignatureDocumentSize = 64 * 1024;
constexpr size_t kMaxManifestFiles = 256;
constexpr size_t kMaxSignatures = 16;
constexpr size_t kMaxManifestPath = 255;
// The file the environment may name with further trusted public keys (PEM), as SSL_CERT_FILE
// names further CAs.
constexpr char kTrustFileVariable[] = "TEV_UPDATE_TRUST_FILE";
// Kept in the engine folder: the highest manifest version accepted there.
constexpr char kAcceptedVersionFileName[] = "update_manifest.version";

struct CManifestEntry {
    std::string path;  // relative to the document's folder; '/' separated, no "." or ".."
    uint64_t length = 0;
    std::string sha256;  // 64 lower-case hexadecimal digits
};

struct CUpdateManifest {
    uint32_t format = kManifestFormat;
    uint64_t version = 0;
    int64_t expires = 0;      // seconds since the epoch, UTC
    std::string offer;        // the version offered (the engine's "FileVersion"); may be empty
    CManifestEntry document;  // the descriptor (or file list) itself
    std::vector<CManifestEntry> files;

    // The entry for a path relative to the document's folder; null when none.
    const CManifestEntry* Find(const std::string& path) const;
};

// Strict: every line in its place, each number, digest and path well formed, nothing else.
bool ParseManifest(std::string_view text, CUpdateManifest* manifest, std::string* error);
std::string FormatManifest(const CUpdateManifest& manifest);

// "YYYY-MM-DDTHH:MM:SSZ" and back.
bool ParseUtcTime(std::string_view text, int64_t* seconds);
std::string FormatUtcTime(int64_t seconds);

std::string Sha256Hex(const void* data, size_t length);
bool IsWellFormedManifestPath(std::string_view path);

// A public key the library trusts, with its id: the first 8 bytes of SHA-256 over its DER
// SubjectPublicKeyInfo, in hexadecimal.
struct CTrustedKey {
    std::shared_ptr<void> key;  // EVP_PKEY
    std::string id;
};

struct CTrustRoots {
    std::vector<CTrustedKey> keys;
    // Whether a signed manifest is demanded: any key is built in, or the environment names a
    // trust file (even one that cannot be read: a configured trust that fails refuses, never
    // falls back to trusting nothing).
    bool required = false;
};

// Ed25519 public keys from PEM text (other kinds are skipped); appends to *keys.
void ReadPublicKeys(std::string_view pem, std::vector<CTrustedKey>* keys);
// The built-in keys plus those of the file the environment names, read anew each call.
CTrustRoots LoadTrustRoots();
// The keys built into this library (PEM text; empty when none).
std::string_view BuiltInTrustKeys();

// The id of the first trusted key whose signature in the signature document verifies data;
// empty when none does.
std::string VerifySignatures(const CTrustRoots& roots, std::string_view signatures,
                             std::string_view data);

// Signing, for the publishing tool and the tests' fixture. A new Ed25519 pair as PEM texts.
bool GenerateSigningKey(std::string* privatePem, std::string* publicPem);
// One signature line ("ed25519 <key id> <hex>\n") of data with the PEM private key.
bool SignData(std::string_view privatePem, std::string_view data, std::string* line,
              std::string* error);

// The highest manifest version the engine folder has accepted (0: none yet).
uint64_t ReadAcceptedManifestVersion(const std::string& engineFolder);
// Written through a temporary file, synced and renamed into place.
bool WriteAcceptedManifestVersion(const std::string& engineFolder, uint64_t version);

// Dotted versions ("3.0.0.2"), part by part as numbers. False when either is not one.
bool CompareDottedVersions(const std::string& a, const std::string& b, int* order);

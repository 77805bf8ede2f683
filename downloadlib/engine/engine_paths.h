// Where the engine program lives: <application data>/Velmor/tevDownloadV32/TEVDownloadV32.
//
// Nothing is cached: every call composes the paths anew from the environment, so a test (or a
// user) that changes XDG_DATA_HOME or HOME is followed at once.
#pragma once

#include <string>

// The engine program's file name (Linux programs carry no extension).
constexpr char kEngineFileName[] = "TEVDownloadV32";
constexpr char kMakerFolderName[] = "Velmor/";
constexpr char kEngineFolderName[] = "tevDownloadV32/";

// Per-user application data (foundation/paths.h, the rule the log follows too) with a '/'
// appended. Empty when there is no absolute one; the engine paths are then empty as well: no
// engine is installed or started, and jobs go to the direct downloader.
std::string GetApplicationDataFolder();

class IGetPath {
  public:
    virtual ~IGetPath() = default;
    virtual void GetBaseFolder(std::string* out) = 0;
    virtual void GetEngineFolder(std::string* out) = 0;
    virtual void GetEnginePath(std::string* out) = 0;
};

class CGetPath_V32 : public IGetPath {
  public:
    void GetBaseFolder(std::string* out) override;    // <application data>Velmor/
    void GetEngineFolder(std::string* out) override;  // <base>tevDownloadV32/
    void GetEnginePath(std::string* out) override;    // <engine folder>TEVDownloadV32
};

// The process's one path provider.
IGetPath& EnginePathProvider();

// The plain functions the rest of the library uses.
std::string GetEngineFilePath();
std::string GetEngineFolderPath();
// A second engine file the updater would look after; this engine has none, so always empty
// (the updater treats an empty path as no file).
std::string GetSecondaryFilePath();

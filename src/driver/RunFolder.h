// The working folder of a run: one run at a time, outputs built apart and put in place only when
// the run has completed, so that a failed or concurrent run never destroys earlier results.
#pragma once

#include <string>
#include <vector>

extern const char* const RUN_LOCK_FILE;
extern const char* const OUTPUT_MANIFEST_FILE;
// The name of a run's staging folder begins with it: it holds no results.
extern const char* const UNFINISHED_RUN_PREFIX;

// Holds the working folder for the whole run: a second run started in the same folder stops at
// once, naming the folder and the process that holds it.
class RunFolderLock {
public:
    RunFolderLock();
    ~RunFolderLock();
    RunFolderLock(const RunFolderLock&) = delete;
    RunFolderLock& operator=(const RunFolderLock&) = delete;

private:
    int _fd = -1;
};

// A fresh folder inside the working folder that the run works in until it completes; its name
// says that it holds no results. publish() moves the outputs into the working folder in place of
// the last completed run's; a run that fails leaves the folder and says where it is.
class StagingFolder {
public:
    // Creates the folder and makes it the working directory.
    StagingFolder();
    // Returns to the working folder and, unless published, reports the folder left behind.
    ~StagingFolder();
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;

    // Returns to the working folder; removes the outputs of the last completed run that this run
    // does not replace (those its record names, and without a record the valid-reads tables of
    // runBaseName); moves every output in (a symlink in the way is replaced, not followed);
    // records the outputs for the next run and removes the staging folder.
    void publish(const std::string& runBaseName);
    const std::string& path() const { return _path; }

private:
    void _leave();

    std::string _home; // the working folder
    std::string _path;
    bool _inside = false;
    bool _published = false;
};

// The names of the outputs of the last completed run in folder, as it recorded them.
std::vector<std::string> readOutputManifest(const std::string& folder);

// Throws, naming that run, its outputs and the fix, when folder holds the outputs of a completed
// run of another Run_Base_Name: publishing this run would delete them.
void checkFolderHoldsNoOtherRun(const std::string& folder, const std::string& runBaseName);

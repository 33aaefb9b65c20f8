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
// the last completed run's. A run that fails keeps there what explains it, its logs and the
// reason (FAILURE_ACCOUNT_FILE), and removes its bulk (partial outputs, bucket files, interim
// tables), unless KEEP_FAILED_RUN_VARIABLE is set; then it says where the folder is.
class StagingFolder {
public:
    // Creates the folder and makes it the working directory.
    StagingFolder();
    // Returns to the working folder and, unless published, keeps what explains the failure and
    // says where it is.
    ~StagingFolder();
    StagingFolder(const StagingFolder&) = delete;
    StagingFolder& operator=(const StagingFolder&) = delete;

    // Returns to the working folder; removes the outputs of the last completed run that this run
    // does not replace (those its record names, and without a record the valid-reads tables of
    // runBaseName); moves every output in (a symlink in the way is replaced, not followed);
    // records the outputs for the next run and removes the staging folder.
    void publish(const std::string& runBaseName);
    // Notes why the run did not complete, for the account it leaves.
    void failed(const std::string& reason) { _reasons.push_back(reason); }
    const std::string& path() const { return _path; }

private:
    void _leave();
    // Removes all but the logs; writes the account; what was kept, for the closing message.
    std::string _keepWhatExplains();

    std::string _home; // the working folder
    std::string _path;
    bool _inside = false;
    bool _complete = false; // every output written: kept whole when they cannot be put in place
    bool _published = false;
    std::vector<std::string> _reasons;
};

extern const char* const FAILURE_ACCOUNT_FILE;
extern const char* const KEEP_FAILED_RUN_VARIABLE;

// The names of the outputs of the last completed run in folder, as it recorded them.
std::vector<std::string> readOutputManifest(const std::string& folder);

// Throws, naming that run, its outputs and the fix, when folder holds the outputs of a completed
// run of another Run_Base_Name: publishing this run would delete them.
void checkFolderHoldsNoOtherRun(const std::string& folder, const std::string& runBaseName);

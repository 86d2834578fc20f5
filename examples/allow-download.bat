@echo off
rem Lets clients download maps (.ut2): switches each one's AllowDownload flag on with the
rem tarnwick.exe beside this file (or the one on the PATH), and names each file it leaves as it
rem was: a file that is no package, or one the tool could not read or change. A map that allows
rem download already is passed over without a word, so it is safe to run again.
rem Run as it is (double-clicked, or from a prompt in any folder), it takes every map in the
rem folder this file is in; with maps (dropped on it, or named after it), those maps. A copy
rem with another flag in place of --AllowDownload=on sets that one. Double-clicked, or with maps
rem dropped on it, it waits for a key before its window closes; NOPAUSE=1 skips that.
setlocal
set "tool=%~dp0tarnwick.exe"
if not exist "%tool%" set "tool=tarnwick.exe"
"%tool%" > nul 2>&1
if errorlevel 9009 (
    echo tarnwick.exe: not found beside %~nx0 or on the PATH
    goto end
)
rem Maps named after it are taken from the folder the prompt is in.
set maps=%*
if "%~1"=="" (
    set "maps=*.ut2"
    pushd "%~dp0"
)
rem The "if" lets through only names that end in .ut2: *.ut2 also matches the short (8.3) names
rem that Windows gives long ones, such as DM-A~1.UT2 for DM-A.ut2_backup. Names stay in "for"
rem variables, which no later step of cmd expands again.
set found=
for %%f in (%maps%) do (
    if /i not "%%~xf"==".ut2" if not "%~1"=="" echo %%~nxf: not changed: not a .ut2 file
    if /i "%%~xf"==".ut2" (
        set found=yes
        "%tool%" --AllowDownload=on -- "%%~ff" > "%TEMP%\tarnwick-allow.txt" 2>&1
        set done=
        find "Map file updated" "%TEMP%\tarnwick-allow.txt" > nul
        if not errorlevel 1 set done=yes
        find "No change to make" "%TEMP%\tarnwick-allow.txt" > nul
        if not errorlevel 1 set done=yes
        find "[Warning]" "%TEMP%\tarnwick-allow.txt" > nul
        if not errorlevel 1 set done=
        if not defined done echo %%~nxf: not changed
    )
)
del "%TEMP%\tarnwick-allow.txt" 2> nul
if "%~1"=="" popd
if not defined found echo no .ut2 file here
:end
rem Double-clicked, or with maps dropped on it, it runs in a window of its own, which would
rem close before its list could be read.
if not defined NOPAUSE echo %cmdcmdline% | find /i "%~nx0" > nul && pause

# Points every shortcut of ORLEX Tessaline on this account (desktop, Start menu, pinned task bar) at the
# installed executable and gives it the product icon. Run by the launcher at each start on Windows, with
# its output in userdata\shortcuts.log; the last line is SHORTCUTS_UPDATED when everything went through.
param(
    [Parameter(Mandatory = $true)][string]$InstallRoot,
    [Parameter(Mandatory = $true)][string]$IconPath
)

$ErrorActionPreference = 'Stop'

$target = [System.IO.Path]::GetFullPath((Join-Path $InstallRoot 'OrlexTessaline.exe'))
if (-not (Test-Path -LiteralPath $target -PathType Leaf)) {
    throw 'Launcher executable missing'
}

$shell = New-Object -ComObject WScript.Shell
$desktop = $shell.SpecialFolders.Item('Desktop')
$programs = $shell.SpecialFolders.Item('Programs')
$taskBar = Join-Path $env:APPDATA 'Microsoft\Internet Explorer\Quick Launch\User Pinned\TaskBar'

# The two shortcuts the product always has, then every other one in these folders that starts this
# executable: renamed ones and task bar pins, never those of another program.
$paths = [System.Collections.Generic.List[string]]::new()
$paths.Add((Join-Path $desktop 'ORLEX Tessaline.lnk'))
$paths.Add((Join-Path $programs 'ORLEX Tessaline.lnk'))
foreach ($folder in @($desktop, $programs, $taskBar)) {
    if (-not (Test-Path -LiteralPath $folder -PathType Container)) {
        continue
    }
    # -Filter also matches longer extensions through their short names: the extension is checked again.
    $files = Get-ChildItem -LiteralPath $folder -Filter '*.lnk' -File | Where-Object { $_.Extension -eq '.lnk' }
    foreach ($file in $files) {
        $existing = $shell.CreateShortcut($file.FullName)
        if ([string]::Equals($existing.TargetPath, $target, [System.StringComparison]::OrdinalIgnoreCase)) {
            $paths.Add($file.FullName)
        }
    }
}

# Windows paths ignore case: a path is the same shortcut however it is spelt.
$seen = [System.Collections.Generic.HashSet[string]]::new([System.StringComparer]::OrdinalIgnoreCase)
foreach ($path in $paths) {
    if (-not $seen.Add($path)) {
        continue
    }
    $shortcut = $shell.CreateShortcut($path)
    $shortcut.TargetPath = $target
    $shortcut.WorkingDirectory = $InstallRoot
    $shortcut.IconLocation = $IconPath + ',0'
    $shortcut.Description = 'ORLEX Tessaline'
    $shortcut.Save()
}

# SHCNE_ASSOCCHANGED: the shell drops its cached icons and shows the new ones.
Add-Type -TypeDefinition @'
using System;
using System.Runtime.InteropServices;

public static class OrlexShell {
    [DllImport("shell32.dll")]
    public static extern void SHChangeNotify(int eventId, uint flags, IntPtr item1, IntPtr item2);
}
'@
[OrlexShell]::SHChangeNotify(0x08000000, 0, [IntPtr]::Zero, [IntPtr]::Zero)

Write-Output 'SHORTCUTS_UPDATED'

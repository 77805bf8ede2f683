// Every text the window and its start-up show, byte for byte. Fields are printf fields.
#pragma once

// Start-up.
inline constexpr char kProductName[] = "TEV-Downloader";
inline constexpr char kCompanyKey[] = "Velmor Inc.";
inline constexpr char kMainWindowTitle[] = "QK DownLoader";
inline constexpr char kTextAlreadyRunning[] = "正在進行下載作業";

// The main window's state values.
inline constexpr char kServiceTag[] = "wistrel_Thornquill_tw";
inline constexpr char kDefaultServiceTag[] = "velmor";
inline constexpr char kPublisherTag[] = "wistrel";
inline constexpr char kGameName[] = "QK";
inline constexpr char kWindowCaption[] = "QK";  // caption of the window's own message boxes
inline constexpr char kFileNameFormat[] = "%s [%d/%d]";
inline constexpr char kClockZero[] = "00:00:00";
inline constexpr char kDownloadFolderValueName[] = "QK";

// Messages of the main window.
inline constexpr char kTextInitializeFailed[] = "初始化失敗。";
inline constexpr char kTextDownloadDataFailed[] = "下載檔案目錄失敗。";
inline constexpr char kTextFileListFailed[] = "下載檔案目錄失敗";
inline constexpr char kTextBadUrl[] = "輸入了錯誤的URL";
inline constexpr char kTextSizeCheckFailed[] = "檔案大小確認失敗";
inline constexpr char kTextNoProtocol[] = "不存在下載所用的協定";
inline constexpr char kTextDiskFull[] = "硬碟(%s)的空間不足(%s)。";
inline constexpr char kTextNetworkPoor[] = "您的網路狀態不佳";
inline constexpr char kTextNetworkBack[] = "您的網路回復正常";
inline constexpr char kTextJobFailed[] = "下載%s失敗\n請稍候再試";
inline constexpr char kTextNotFinished[] = "尚未結束下載。";
inline constexpr char kTextFolderUnusable[] = "選擇的路徑無法使用";
inline constexpr char kTextAgreementQuestion[] =
    "不同意超高速下載時，以一般下載方式進行。\n要使用一般下載方式進行嗎？";
inline constexpr char kTextCloseWithJob[] = "關閉視窗時，即會中止下載 %s\n確定要關閉視窗嗎？";
inline constexpr char kTextCloseRequestWithJob[] =
    "關閉視窗時，將立即終止下載 %s\n確定要關閉視窗嗎？";
inline constexpr char kTextInstalling[] = "檢查下載的文件後執行安裝。";
inline constexpr char kTextFolderTitle[] = "至少需要 %s 容量。\n";
// The folder chooser's own caption: the main window's would make the second start's activation
// find the chooser instead of the window.
inline constexpr char kTextFolderChooserCaption[] = "瀏覽資料夾";
inline constexpr char kTextFolderStatus[] = "至少需要 %s 容量。\n剩餘容量：%s";
inline constexpr char kTextAgreementToolTip[] = "超高速下載只有在下載時才會共享PC資源。";

// Running the installer.
inline constexpr char kTextInstallerPathMissing[] = "該路徑(NULL)檔案不存在。";
inline constexpr char kTextInstallerNotFound[] = "該路徑(%s)檔案不存在。";

// The resume prompt.
inline constexpr char kResumeTitle[] = "接續下載";
inline constexpr char kResumeApplyToAll[] = "適用整體檔案";
inline constexpr char kResumeConfirm[] = "確認";
inline constexpr char kResumeCancel[] = "取消";
inline constexpr char kResumeFileExists[] = "下載的檔案已存在。";
inline constexpr char kResumeQuestion[] = "是否繼續上次的下載？";

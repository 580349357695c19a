<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en_US" sourcelanguage="ja_JP">
<context>
    <name>TAboutForm</name>
    <message>
        <source>使用ＰＣの伝送状態を簡便に監視する</source>
        <translation>Watches the traffic of this computer at a glance</translation>
    </message>
    <message>
        <source>バージョン情報</source>
        <translation>About</translation>
    </message>
    <message>
        <source>製品名</source>
        <translation>Product</translation>
    </message>
    <message>
        <source>バージョン</source>
        <translation>Version</translation>
    </message>
    <message>
        <source>著作権表記</source>
        <translation>Copyright</translation>
    </message>
    <message>
        <source>コンパイル日付</source>
        <translation>Built</translation>
    </message>
    <message>
        <source>コメント</source>
        <translation>Comments</translation>
    </message>
</context>
<context>
    <name>TErrorBox</name>
    <message>
        <source>確認</source>
        <translation>Check</translation>
    </message>
    <message>
        <source>原因: このユーザーにはパケットをキャプチャする権限がありません。</source>
        <translation>Cause: this user may not capture packets.</translation>
    </message>
    <message>
        <source>対処: キャプチャ補助プログラム wirepeek-capture がありません。wirepeek パッケージをインストールしてください。</source>
        <translation>Fix: the capture helper wirepeek-capture is missing. Install the wirepeek package.</translation>
    </message>
    <message>
        <source>対処: グループ %1 に入り、ログインし直してください:</source>
        <translation>Fix: join the group %1, then log in again:</translation>
    </message>
    <message>
        <source>対処: キャプチャ補助プログラムに権限を与えてください:</source>
        <translation>Fix: give the capture helper its rights:</translation>
    </message>
</context>
<context>
    <name>TMainForm</name>
    <message>
        <source>ホスト名を調べる</source>
        <translation>Look up host names</translation>
    </message>
    <message>
        <source>Wirepeek.html</source>
        <translation>Wirepeek.en.html</translation>
    </message>
    <message>
        <source>%1 個のアドレスは一覧に入りません（表は最大 %2 行）</source>
        <translation>%1 addresses not listed (the table holds at most %2 rows)</translation>
    </message>
    <message>
        <source>ＩＰアドレス表は %1 行で満杯: これ以降のアドレスは数えるだけで一覧に入りません</source>
        <translation>IP address table full at %1 rows: further addresses are counted but not listed</translation>
    </message>
    <message>
        <source>ＩＰアドレス表: %1 個のアドレスは一覧に入りませんでした</source>
        <translation>IP address table: %1 addresses were not listed</translation>
    </message>
    <message>
        <source>%1 の分だけ</source>
        <translation>Only %1's share</translation>
    </message>
    <message>
        <source>全部表示</source>
        <translation>Show all</translation>
    </message>
    <message>
        <source>ワイヤピーク監視■■■■</source>
        <translation>Wirepeek monitor ■■■■</translation>
    </message>
    <message>
        <source>アダプタ選択</source>
        <translation>Adapter</translation>
    </message>
    <message>
        <source>カウンタ</source>
        <translation>Counters</translation>
    </message>
    <message>
        <source>オプション</source>
        <translation>Options</translation>
    </message>
    <message>
        <source>ｱﾀﾞﾌﾟﾀIPｱﾄﾞﾚｽ</source>
        <translation>Adapter IP address</translation>
    </message>
    <message>
        <source>送信</source>
        <translation>Sent</translation>
    </message>
    <message>
        <source>受信</source>
        <translation>Rcvd</translation>
    </message>
    <message>
        <source>ﾊﾞｲﾄ数</source>
        <translation>Bytes</translation>
    </message>
    <message>
        <source>プロトコル別／ＩＰアドレス別集計</source>
        <translation>Protocol / address pages</translation>
    </message>
    <message>
        <source>プロトコル別集計</source>
        <translation>By protocol</translation>
    </message>
    <message>
        <source>ＩＰアドレス別集計</source>
        <translation>By IP address</translation>
    </message>
    <message>
        <source>プログラム別集計</source>
        <translation>By program</translation>
    </message>
    <message>
        <source>ポート別集計</source>
        <translation>Ports</translation>
    </message>
    <message>
        <source>ＩＰアドレス別集計は %1 の相手だけ（もう一度クリックで全部）</source>
        <translation>The address page shows only the peers of %1 (click it again for all)</translation>
    </message>
    <message>
        <source>Capture 開始</source>
        <translation>Capture Start</translation>
    </message>
    <message>
        <source>Capture 終了</source>
        <translation>Capture End</translation>
    </message>
    <message>
        <source>ヘルプ(&amp;H)</source>
        <translation>&amp;Help</translation>
    </message>
    <message>
        <source>バージョン(&amp;V)</source>
        <translation>&amp;Version</translation>
    </message>
    <message>
        <source>最小化(&amp;N)</source>
        <translation>Mi&amp;nimize</translation>
    </message>
    <message>
        <source>ﾌﾟﾛｸﾞﾗﾑ終了(&amp;X)</source>
        <translation>E&amp;xit</translation>
    </message>
    <message>
        <source>ファイル(&amp;F)</source>
        <translation>&amp;File</translation>
    </message>
    <message>
        <source>処理メニュー</source>
        <translation>Commands</translation>
    </message>
    <message>
        <source>HelpFileが&#x3000;ありません</source>
        <translation>The help file is missing</translation>
    </message>
    <message>
        <source>ワイヤピーク監視□■□■</source>
        <translation>Wirepeek monitor □■□■</translation>
    </message>
    <message>
        <source>ワイヤピーク監視■□■□</source>
        <translation>Wirepeek monitor ■□■□</translation>
    </message>
    <message>
        <source>送信:</source>
        <translation>Sent:</translation>
    </message>
    <message>
        <source>受信:</source>
        <translation>Received:</translation>
    </message>
    <message>
        <source>ワイヤピーク監視:</source>
        <translation>Wirepeek monitor: </translation>
    </message>
    <message>
        <source>パケットモニタ(Capture)が実行中です、止めてください</source>
        <translation>A capture is running; end it first.</translation>
    </message>
</context>
<context>
    <name>TRatePage</name>
    <message>
        <source>推移</source>
        <translation>Rate</translation>
    </message>
    <message>
        <source>サービス</source>
        <translation>Service</translation>
    </message>
    <message>
        <source>送信</source>
        <translation>Sent</translation>
    </message>
    <message>
        <source>受信</source>
        <translation>Rcvd</translation>
    </message>
    <message>
        <source>%1　現在 %2　平均 %3　最大 %4</source>
        <translation>%1  now %2  average %3  peak %4</translation>
    </message>
    <message>
        <source>10分前</source>
        <translation>10 min ago</translation>
    </message>
    <message>
        <source>5分前</source>
        <translation>5 min ago</translation>
    </message>
    <message>
        <source>現在</source>
        <translation>now</translation>
    </message>
</context>
<context>
    <name>TSummaryHeader</name>
    <message>
        <source>ホスト名</source>
        <translation>Host name</translation>
    </message>
    <message>
        <source>現在の速度</source>
        <translation>Rate now</translation>
    </message>
    <message>
        <source>Protocol</source>
        <translation>Protocol</translation>
    </message>
    <message>
        <source>送信バイト数</source>
        <translation>Bytes sent</translation>
    </message>
    <message>
        <source>受信ﾊﾞｲﾄ数</source>
        <translation>Bytes received</translation>
    </message>
    <message>
        <source>送信ﾊﾞｲﾄ数</source>
        <translation>Bytes sent</translation>
    </message>
    <message>
        <source>プログラム</source>
        <translation>Program</translation>
    </message>
    <message>
        <source>ユーザー</source>
        <translation>User</translation>
    </message>
    <message>
        <source>ポート</source>
        <translation>Port</translation>
    </message>
    <message>
        <source>サービス</source>
        <translation>Service</translation>
    </message>
</context>
<context>
    <name>TTraceForm</name>
    <message>
        <source>トレース</source>
        <translation>Trace</translation>
    </message>
    <message>
        <source>ファイル(&amp;F)</source>
        <translation>&amp;File</translation>
    </message>
    <message>
        <source>メインフォーム表示(&amp;M)</source>
        <translation>Show &amp;main window</translation>
    </message>
    <message>
        <source>保存(&amp;S)</source>
        <translation>&amp;Save</translation>
    </message>
    <message>
        <source>トレース情報クリア</source>
        <translation>Clear trace</translation>
    </message>
</context>
<context>
    <name>TCategory</name>
    <message>
        <source>Sonota</source>
        <translation>Other</translation>
    </message>
</context>
</TS>

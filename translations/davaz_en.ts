<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="en" sourcelanguage="zh_CN">
<context>
    <name>DestinationList</name>
    <message>
        <source>推流地址</source>
        <translation>Push address</translation>
    </message>
    <message>
        <source>地址密钥</source>
        <translation>Key</translation>
    </message>
    <message>
        <source>自签名证书</source>
        <translation>Self-signed</translation>
    </message>
    <message>
        <source>状态</source>
        <translation>State</translation>
    </message>
    <message>
        <source>接受服务器的自签名证书（rtmps），只在信任该服务器时勾选</source>
        <translation>Accept the server's self-signed certificate (rtmps); tick only for a server you trust</translation>
    </message>
</context>
<context>
    <name>FL_PlayList</name>
    <message>
        <source>打开文件所在位置</source>
        <translation>Open containing folder</translation>
    </message>
    <message>
        <source>删除当前选中的行</source>
        <translation>Delete selected rows</translation>
    </message>
    <message>
        <source>添加视频到列表</source>
        <translation>Add videos to the list</translation>
    </message>
    <message>
        <source>清空直播列表记录</source>
        <translation>Clear the live list</translation>
    </message>
    <message>
        <source>打开视频文件</source>
        <translation>Open video files</translation>
    </message>
    <message>
        <source>Movie (%1)</source>
        <translation>Movie (%1)</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>Notice</translation>
    </message>
    <message>
        <source>该视频文件已经被移动或删除,
该列表项无效!</source>
        <translation>This video file has been moved or deleted,
so this list entry is no longer valid!</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
</context>
<context>
    <name>FlvCheck</name>
    <message>
        <source>视频编码 %1 不能直接放入FLV，需先转码才能直播</source>
        <translation>Video codec %1 cannot go into FLV as it is; convert the file before pushing it live</translation>
    </message>
    <message>
        <source>音频编码 %1 不能直接放入FLV，需先转码才能直播</source>
        <translation>Audio codec %1 cannot go into FLV as it is; convert the file before pushing it live</translation>
    </message>
</context>
<context>
    <name>FormatCWidget</name>
    <message>
        <source>格式转换</source>
        <translation>Format Conversion</translation>
    </message>
    <message>
        <source>可拖拽视频到列表中：</source>
        <translation>Drag videos into the list:</translation>
    </message>
    <message>
        <source>添加</source>
        <translation>Add</translation>
    </message>
    <message>
        <source>清空</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>导出格式：</source>
        <translation>Output format:</translation>
    </message>
    <message>
        <source>输出尺寸: </source>
        <translation>Output size: </translation>
    </message>
    <message>
        <source>自定义参数</source>
        <translation>Custom settings</translation>
    </message>
    <message>
        <source>码特率:</source>
        <translation>Bitrate:</translation>
    </message>
    <message>
        <source>fps:</source>
        <translation>fps:</translation>
    </message>
    <message>
        <source>导出目录</source>
        <translation>Output folder</translation>
    </message>
    <message>
        <source>.</source>
        <translation>.</translation>
    </message>
    <message>
        <source>更改</source>
        <translation>Change</translation>
    </message>
    <message>
        <source>打开</source>
        <translation>Open</translation>
    </message>
    <message>
        <source>开始转换</source>
        <translation>Start conversion</translation>
    </message>
    <message>
        <source>原始大小</source>
        <translation>Original size</translation>
    </message>
    <message>
        <source>.mp4</source>
        <translation>.mp4</translation>
    </message>
    <message>
        <source>.avi</source>
        <translation>.avi</translation>
    </message>
    <message>
        <source>.rmvb</source>
        <translation>.rmvb</translation>
    </message>
    <message>
        <source>.mkv</source>
        <translation>.mkv</translation>
    </message>
    <message>
        <source>.rm</source>
        <translation>.rm</translation>
    </message>
    <message>
        <source>.mpg</source>
        <translation>.mpg</translation>
    </message>
    <message>
        <source>.3gp</source>
        <translation>.3gp</translation>
    </message>
    <message>
        <source>.wmv</source>
        <translation>.wmv</translation>
    </message>
    <message>
        <source>.flv</source>
        <translation>.flv</translation>
    </message>
    <message>
        <source>打开视频文件</source>
        <translation>Open video files</translation>
    </message>
    <message>
        <source>Movie (%1)</source>
        <translation>Movie (%1)</translation>
    </message>
    <message>
        <source>询问</source>
        <translation>Question</translation>
    </message>
    <message>
        <source>是否清空列表 ?</source>
        <translation>Clear the list?</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>选择存储路径</source>
        <translation>Choose a folder to save in</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>Notice</translation>
    </message>
    <message>
        <source>请先添加视频到列表!</source>
        <translation>Please add videos to the list first!</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>停止转码</source>
        <translation>Stop conversion</translation>
    </message>
    <message>
        <source>%p%  剩余 %1</source>
        <translation>%p%  %1 left</translation>
    </message>
    <message>
        <source>全部剩余 %1</source>
        <translation>All: %1 left</translation>
    </message>
    <message>
        <source>全部剩余 计算中…</source>
        <translation>All: working out the time left…</translation>
    </message>
    <message>
        <source>转码已经结束!</source>
        <translation>Conversion finished!</translation>
    </message>
    <message>
        <source>开始转码</source>
        <translation>Start conversion</translation>
    </message>
    <message>
        <source>当前行标示的视频,正在转码中...
是否停止转码并移除该行?</source>
        <translation>The video in this row is being converted...
Stop the conversion and remove the row?</translation>
    </message>
    <message>
        <source>停止并移除</source>
        <translation>Stop and remove</translation>
    </message>
    <message>
        <source>无损快速转换</source>
        <translation>Fast lossless conversion</translation>
    </message>
    <message>
        <source>标出转换失败</source>
        <translation>Mark failed conversions</translation>
    </message>
    <message>
        <source>转换失败</source>
        <translation>Conversion failed</translation>
    </message>
</context>
<context>
    <name>GrabLiveWidget</name>
    <message>
        <source>串流存盘</source>
        <translation>Stream Capture</translation>
    </message>
    <message>
        <source>设置</source>
        <translation>Settings</translation>
    </message>
    <message>
        <source>网络串流地址：</source>
        <translation>Stream address:</translation>
    </message>
    <message>
        <source>保存位置：</source>
        <translation>Save in:</translation>
    </message>
    <message>
        <source>打开目录</source>
        <translation>Open folder</translation>
    </message>
    <message>
        <source>设定位置</source>
        <translation>Choose folder</translation>
    </message>
    <message>
        <source>文件名称：</source>
        <translation>File name:</translation>
    </message>
    <message>
        <source>.avi</source>
        <translation>.avi</translation>
    </message>
    <message>
        <source>.mp4</source>
        <translation>.mp4</translation>
    </message>
    <message>
        <source>断线自动重连</source>
        <translation>Reconnect on drop</translation>
    </message>
    <message>
        <source>串流中断后每3秒重试，恢复后录制到新的文件（名称_2、名称_3…）</source>
        <translation>When the stream drops, retry every 3 seconds and record on into a new file (name_2, name_3…)</translation>
    </message>
    <message>
        <source>分段录制</source>
        <translation>Record in segments</translation>
    </message>
    <message>
        <source>每隔设定的时间在关键帧处换到下一个编号的文件，不丢帧</source>
        <translation>Move on to the next numbered file at a key frame after each interval, without losing frames</translation>
    </message>
    <message>
        <source> 分钟</source>
        <translation> min</translation>
    </message>
    <message>
        <source>开始</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>抓流失败，视频格式不支持！</source>
        <translation>Capture failed: the video format is not supported!</translation>
    </message>
    <message>
        <source>抓流失败，连接服务器失败！</source>
        <translation>Capture failed: could not connect to the server!</translation>
    </message>
    <message>
        <source>抓流失败，Rtmp地址不存在，请检查！</source>
        <translation>Capture failed: the rtmp address does not exist, please check it!</translation>
    </message>
    <message>
        <source>抓流失败，不识别协议，请检查！</source>
        <translation>Capture failed: unknown protocol, please check the address!</translation>
    </message>
    <message>
        <source>抓流失败，不识别流地址，请检查！</source>
        <translation>Capture failed: unknown stream address, please check it!</translation>
    </message>
    <message>
        <source>启动子进程读取视频流错误，请尝试以管理员权限启动</source>
        <translation>The program that reads the stream could not be started; try running as administrator</translation>
    </message>
    <message>
        <source>子进程启动崩溃，请尝试以管理员权限启动</source>
        <translation>The program that reads the stream crashed; try running as administrator</translation>
    </message>
    <message>
        <source>启动子进程超时，请尝试以管理员权限启动</source>
        <translation>Starting the program that reads the stream timed out; try running as administrator</translation>
    </message>
    <message>
        <source>子进程读写错误，请尝试以管理员权限启动</source>
        <translation>The program that reads the stream had a read or write error; try running as administrator</translation>
    </message>
    <message>
        <source>未知错误，请尝试以管理员权限启动</source>
        <translation>Unknown error; try running as administrator</translation>
    </message>
    <message>
        <source>流已断开，重连中…</source>
        <translation>Stream lost, reconnecting…</translation>
    </message>
    <message>
        <source>已重连，正在录制：%1</source>
        <translation>Reconnected, recording: %1</translation>
    </message>
    <message>
        <source>画面尺寸已改变，继续录制到新文件：%1</source>
        <translation>The picture size changed; recording goes on in a new file: %1</translation>
    </message>
    <message>
        <source>没有收到任何数据，未生成录像文件</source>
        <translation>No data arrived; no recording was made</translation>
    </message>
    <message>
        <source>保存位置的磁盘剩余空间不足%1MB，无法开始录制！</source>
        <translation>Less than %1 MB free on the disk of the save folder; the recording cannot start!</translation>
    </message>
    <message>
        <source>保存位置的磁盘剩余空间不足%1MB，录制已停止，已录下的内容保存完好。</source>
        <translation>Less than %1 MB free on the disk of the save folder; the recording has stopped and what was recorded is kept intact.</translation>
    </message>
    <message>
        <source>rtmp:// 或 rtsp://</source>
        <translation>rtmp:// or rtsp://</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>Notice</translation>
    </message>
    <message>
        <source>当前输入串流地址不合法</source>
        <translation>The stream address entered is not valid</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>存储路径无效, 请重新选择 '文件夹' 路径!</source>
        <translation>The save folder is not valid, please choose a folder again!</translation>
    </message>
    <message>
        <source>当前路径没有读写权限,请以管理员权限运行软件 
 %1</source>
        <translation>No permission to read and write in this folder; run the software as administrator 
 %1</translation>
    </message>
    <message>
        <source>选择存储路径</source>
        <translation>Choose a folder to save in</translation>
    </message>
    <message>
        <source>可录制的地址：rtmp://…、rtsp://…、HLS 播放列表 http(s)://….m3u8、srt://…、http(s)://….flv</source>
        <translation>Addresses that can be recorded: rtmp://…, rtsp://…, an HLS playlist http(s)://….m3u8, srt://…, http(s)://….flv</translation>
    </message>
</context>
<context>
    <name>HTableWidget</name>
    <message>
        <source>提示</source>
        <translation>Notice</translation>
    </message>
    <message>
        <source>该文件项已经添加，请勿重复添加!
%1</source>
        <translation>This file is already in the list, it is not added twice!
%1</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>添加失败，该目录没有任何文件，</source>
        <translation>Not added: the folder holds no files.</translation>
    </message>
    <message>
        <source>添加失败，一次申请最大支持文件%1个，<byte value="xd" />
本次选择文件夹包含文件 &gt;%2个，超过最大文件支持数。</source>
        <translation>Not added: at most %1 files can be added at once,<byte value="xd" />
and the chosen folder holds more than %2 files, over the limit.</translation>
    </message>
    <message>
        <source>添加失败，一次申请最大支持文件%1个，当前已添加文件%2个，<byte value="xd" />
本次选择文件夹包含文件%3个，超过最大文件支持数。</source>
        <translation>Not added: at most %1 files can be added at once, %2 are in the list already,<byte value="xd" />
and the chosen folder holds %3 files, over the limit.</translation>
    </message>
    <message>
        <source>添加失败，一次申请最大支持文件%1个，当前已添加文件%2个。</source>
        <translation>Not added: at most %1 files can be added at once, and %2 are in the list already.</translation>
    </message>
</context>
<context>
    <name>HTableWidgetEx</name>
    <message>
        <source>@用户数据指针</source>
        <translation>@user data</translation>
    </message>
    <message>
        <source>选择</source>
        <translation>Select</translation>
    </message>
    <message>
        <source>文件名</source>
        <translation>File name</translation>
    </message>
    <message>
        <source>视频源</source>
        <translation>Source</translation>
    </message>
    <message>
        <source>转换进度</source>
        <translation>Progress</translation>
    </message>
    <message>
        <source>移除</source>
        <translation>Remove</translation>
    </message>
    <message>
        <source>播放</source>
        <translation>Play</translation>
    </message>
    <message>
        <source>播放转换后的视频</source>
        <translation>Play the converted video</translation>
    </message>
</context>
<context>
    <name>Mp4RPWidget</name>
    <message>
        <source>视频修复</source>
        <translation>Video Repair</translation>
    </message>
    <message>
        <source>mp4文件修复</source>
        <translation>MP4 Repair</translation>
    </message>
    <message>
        <source>说明：（需要修复的视频）</source>
        <translation>Note: (the video to repair)</translation>
    </message>
    <message>
        <source>损坏视频：</source>
        <translation>Damaged video:</translation>
    </message>
    <message>
        <source>选择文件</source>
        <translation>Choose file</translation>
    </message>
    <message>
        <source>说明：（与损坏视频拥有相同参数设置的正常视频）</source>
        <translation>Note: (a sound video recorded with the same settings as the damaged one)</translation>
    </message>
    <message>
        <source>参考视频：</source>
        <translation>Reference video:</translation>
    </message>
    <message>
        <source>开始修复</source>
        <translation>Start repair</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>Notice</translation>
    </message>
    <message>
        <source>请设置损坏mp4视频</source>
        <translation>Please choose the damaged MP4 video</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>请设置正常参考mp4视频</source>
        <translation>Please choose a sound reference MP4 video</translation>
    </message>
    <message>
        <source>%1 正常，无需修复</source>
        <translation>%1 is sound and needs no repair</translation>
    </message>
    <message>
        <source>%1 不合法</source>
        <translation>%1 is not valid</translation>
    </message>
    <message>
        <source>打开损坏的MP4文件</source>
        <translation>Open the damaged MP4 file</translation>
    </message>
    <message>
        <source>Movie (%1)</source>
        <translation>Movie (%1)</translation>
    </message>
    <message>
        <source>打开正常参考MP4文件</source>
        <translation>Open the sound reference MP4 file</translation>
    </message>
    <message>
        <source>修复通道被占用，未能开始修复，请稍后重试</source>
        <translation>The repair channel is taken by another program; the repair did not start. Please try again later.</translation>
    </message>
</context>
<context>
    <name>ProcessWidget</name>
    <message>
        <source>正在导出</source>
        <translation>Exporting</translation>
    </message>
    <message>
        <source>mp4修复进度</source>
        <translation>MP4 repair progress</translation>
    </message>
    <message>
        <source>准备数据...</source>
        <translation>Preparing data...</translation>
    </message>
    <message>
        <source>取消</source>
        <translation>Cancel</translation>
    </message>
    <message>
        <source>完成</source>
        <translation>Done</translation>
    </message>
</context>
<context>
    <name>RepairEngine</name>
    <message>
        <source>修复失败:任务文件不完整或文件重复</source>
        <translation>Repair failed: the job is incomplete or names the same file twice</translation>
    </message>
    <message>
        <source>修复失败:无法读取文件或参考视频不完整</source>
        <translation>Repair failed: a file cannot be read, or the reference is incomplete</translation>
    </message>
    <message>
        <source>修复失败:参考视频没有画面</source>
        <translation>Repair failed: the reference video has no picture</translation>
    </message>
    <message>
        <source>修复失败:损坏视频不是MP4文件</source>
        <translation>Repair failed: the damaged video is not an MP4 file</translation>
    </message>
    <message>
        <source>修复失败:不支持该视频或音频编码</source>
        <translation>Repair failed: this video or audio codec is not supported</translation>
    </message>
    <message>
        <source>修复失败:两个文件似乎放反了</source>
        <translation>Repair failed: the two files seem to be the wrong way round</translation>
    </message>
    <message>
        <source>无需修复:损坏视频是完整的</source>
        <translation>No repair needed: the damaged video is complete</translation>
    </message>
    <message>
        <source>修复失败:没有找到可以恢复的画面</source>
        <translation>Repair failed: no picture that can be recovered was found</translation>
    </message>
    <message>
        <source>修复失败:无法写入修复后的文件</source>
        <translation>Repair failed: the repaired file cannot be written</translation>
    </message>
    <message>
        <source>已停止</source>
        <translation>Stopped</translation>
    </message>
    <message>
        <source>修复失败:声音与参考视频的编码不同</source>
        <translation>Repair failed: the sound is coded differently from the reference's</translation>
    </message>
    <message>
        <source>修复失败</source>
        <translation>Repair failed</translation>
    </message>
    <message>
        <source>无需修复</source>
        <translation>No repair needed</translation>
    </message>
    <message>
        <source>修复失败:参考视频与损坏视频的设置不同</source>
        <translation>Repair failed: the reference was not recorded with the damaged video's settings</translation>
    </message>
</context>
<context>
    <name>TempFolder</name>
    <message>
        <source>无法创建临时文件夹 %1：%2</source>
        <translation>Cannot create the temporary folder %1: %2</translation>
    </message>
    <message>
        <source>临时文件夹 %1 是一个符号链接，为安全起见不予使用，请删除后重试。</source>
        <translation>The temporary folder %1 is a symbolic link and is not used, for safety; delete it and try again.</translation>
    </message>
    <message>
        <source>临时文件夹 %1 不是文件夹，为安全起见不予使用，请删除后重试。</source>
        <translation>The temporary folder %1 is not a folder and is not used, for safety; delete it and try again.</translation>
    </message>
    <message>
        <source>临时文件夹 %1 属于其他用户，为安全起见不予使用。</source>
        <translation>The temporary folder %1 belongs to another user and is not used, for safety.</translation>
    </message>
</context>
<context>
    <name>ToolFrame</name>
    <message>
        <source>最小化</source>
        <translation>Minimise</translation>
    </message>
    <message>
        <source>关闭</source>
        <translation>Close</translation>
    </message>
</context>
<context>
    <name>VideoLiveWidget</name>
    <message>
        <source>直播视频</source>
        <translation>Live Push</translation>
    </message>
    <message>
        <source>rtmp网络串流地址：</source>
        <translation>rtmp stream address:</translation>
    </message>
    <message>
        <source>地址密钥:</source>
        <translation>Stream key:</translation>
    </message>
    <message>
        <source>可将视频拖拽到直播列表</source>
        <translation>Videos can be dragged into the live list</translation>
    </message>
    <message>
        <source>开始</source>
        <translation>Start</translation>
    </message>
    <message>
        <source>添加</source>
        <translation>Add</translation>
    </message>
    <message>
        <source>清空</source>
        <translation>Clear</translation>
    </message>
    <message>
        <source>断线自动重连</source>
        <translation>Reconnect on drop</translation>
    </message>
    <message>
        <source>推流中断后自动重连，从中断处继续推送</source>
        <translation>When the push drops, reconnect and go on from where it stopped</translation>
    </message>
    <message>
        <source>直播状态</source>
        <translation>Live state</translation>
    </message>
    <message>
        <source>直播失败，视频格式不支持！</source>
        <translation>Live push failed: the video format is not supported!</translation>
    </message>
    <message>
        <source>直播失败，连接服务器失败！</source>
        <translation>Live push failed: could not connect to the server!</translation>
    </message>
    <message>
        <source>直播失败，Rtmp地址不存在或被占用，请检查！</source>
        <translation>Live push failed: the rtmp address does not exist or is in use, please check it!</translation>
    </message>
    <message>
        <source>停止</source>
        <translation>Stop</translation>
    </message>
    <message>
        <source>提示</source>
        <translation>Notice</translation>
    </message>
    <message>
        <source>请正确填入rtmp串流地址！！</source>
        <translation>Please enter a valid rtmp stream address!!</translation>
    </message>
    <message>
        <source>确定</source>
        <translation>OK</translation>
    </message>
    <message>
        <source>连接断开，已停止重连</source>
        <translation>Connection lost, no more retries</translation>
    </message>
    <message>
        <source>连接断开，%1秒后重连…</source>
        <translation>Connection lost, reconnecting in %1 s…</translation>
    </message>
    <message>
        <source>正在重连…</source>
        <translation>Reconnecting…</translation>
    </message>
    <message>
        <source>时间：%1   fps:%2  上传：%3kbits/s</source>
        <translation>Time: %1   fps:%2  upload: %3kbits/s</translation>
    </message>
    <message>
        <source>串流完成</source>
        <translation>Push finished</translation>
    </message>
    <message>
        <source>请先添加视频到直播列表！</source>
        <translation>Please add videos to the live list first!</translation>
    </message>
    <message>
        <source>无缝推流</source>
        <translation>One connection for the list</translation>
    </message>
    <message>
        <source>整个列表只用一个连接推送，切换视频时观众端不断流</source>
        <translation>Push the whole list over one connection, so viewers see no break between videos</translation>
    </message>
    <message>
        <source>已跳过无法推送的视频：%1</source>
        <translation>Skipped a video that cannot be pushed: %1</translation>
    </message>
    <message>
        <source>无法以FLV推送：%1</source>
        <translation>Cannot be pushed as FLV: %1</translation>
    </message>
    <message>
        <source>支持 rtmp://、rtmps://（TLS）和 srt://主机:端口（呼叫模式，密钥作为 streamid 发送）</source>
        <translation>rtmp://, rtmps:// (TLS) and srt://host:port (caller mode; the key is sent as the stream id)</translation>
    </message>
    <message>
        <source>接受自签名证书</source>
        <translation>Accept a self-signed certificate</translation>
    </message>
    <message>
        <source>rtmps 服务器使用自签名证书时勾选；只在信任该服务器时使用</source>
        <translation>Tick when the rtmps server uses a self-signed certificate; only for a server you trust</translation>
    </message>
    <message>
        <source>推流地址</source>
        <translation>Push address</translation>
    </message>
    <message>
        <source>添加地址</source>
        <translation>Add address</translation>
    </message>
    <message>
        <source>删除地址</source>
        <translation>Remove address</translation>
    </message>
    <message>
        <source>多路推流</source>
        <translation>Push to several addresses</translation>
    </message>
    <message>
        <source>视频只读取一次，同时推送到多个地址；每个地址各自连接、各自重连，一个地址断开不影响其他地址</source>
        <translation>The video is read once and pushed to several addresses at once; each address connects and reconnects on its own, and one that drops does not affect the others</translation>
    </message>
    <message>
        <source>请正确填入推流地址：%1</source>
        <translation>Please enter a correct push address: %1</translation>
    </message>
    <message>
        <source>连接中…</source>
        <translation>Connecting…</translation>
    </message>
    <message>
        <source>推流中</source>
        <translation>On air</translation>
    </message>
    <message>
        <source>%1秒后重连…</source>
        <translation>Reconnecting in %1 s…</translation>
    </message>
    <message>
        <source>失败：%1</source>
        <translation>Failed: %1</translation>
    </message>
    <message>
        <source>直播失败，服务器证书未通过验证！</source>
        <translation>Push failed: the server's certificate did not pass the check!</translation>
    </message>
    <message>
        <source>格式不支持</source>
        <translation>format not supported</translation>
    </message>
    <message>
        <source>连接服务器失败</source>
        <translation>cannot connect to the server</translation>
    </message>
    <message>
        <source>地址不存在或被占用</source>
        <translation>address does not exist or is in use</translation>
    </message>
    <message>
        <source>地址不支持</source>
        <translation>address not supported</translation>
    </message>
    <message>
        <source>服务器证书未通过验证</source>
        <translation>the server's certificate did not pass the check</translation>
    </message>
    <message>
        <source>连接断开</source>
        <translation>connection lost</translation>
    </message>
    <message>
        <source>直播失败，所有推流地址都无法推送！</source>
        <translation>Push failed: none of the push addresses can be pushed to!</translation>
    </message>
</context>
</TS>

// The page `korvane preview` serves: plain HTML, CSS and JavaScript, no build step.
#pragma once

namespace korvane::cli {

inline constexpr const char* kPreviewPage = R"PAGE(<!doctype html>
<html lang="en"><head><meta charset="utf-8"><title>korvane preview</title><link rel="icon" href="data:,">
<style>
body{margin:0;font:13px system-ui,sans-serif;background:#1b1b1d;color:#ddd;display:flex;height:100vh}
#view{flex:1;display:flex;flex-direction:column;min-width:0}
#stage{flex:1;position:relative;display:flex;align-items:center;justify-content:center;overflow:hidden}
#stage img,#stage canvas{position:absolute;max-width:100%;max-height:100%}
#bar{padding:6px;display:flex;gap:6px;align-items:center;flex-wrap:wrap;background:#252528}
#side{width:380px;overflow-y:auto;background:#222225;padding:6px}
fieldset{border:1px solid #444;margin:6px 0}legend{color:#9cf}
.row{display:grid;grid-template-columns:120px 1fr 70px 22px;gap:4px;align-items:center;margin:3px 0}
.row small{grid-column:1/5;color:#888}
input[type=number]{width:64px}button{cursor:pointer}
#status{color:#8a8}
</style></head><body>
<div id="view"><div id="stage"><img id="before" alt=""><img id="after" alt="preview"><canvas id="draw"></canvas></div>
<div id="bar">
<label>split <input id="split" type="range" min="0" max="100" value="100"></label>
<label id="timebox" hidden>time <input id="time" type="range" min="0" max="0" step="1" value="0"> <span id="timetext"></span></label>
<button id="resetall">Reset all</button><button id="copy">Copy command</button>
<button id="preset">Save preset</button><button id="load">Load preset</button><input id="presetfile" type="file" accept=".json,application/json" hidden><button id="full">Render full size</button>
<button id="mask">Draw mask</button><button id="clearmask">Clear masks</button>
<span id="status"></span></div></div>
<div id="side"></div>
<script>
"use strict";
const token=new URLSearchParams(location.search).get("token")||"";
const H={"X-Korvane-Token":token,"Content-Type":"application/json"};
const $=id=>document.getElementById(id);
let table=[],input={},values={},masks=[],drawing=null,seq=0;
const api=(path,body)=>fetch(path,body===undefined?{headers:H}:{method:"POST",headers:H,body:JSON.stringify(body)});
function look(width){const params={};for(const p of table){if(values[p.name]!==p.default)params[p.name]=p.type==="popup"?p.choices[values[p.name]-1]:values[p.name];}
  const b={params,time:input.kind==="image"?0:(input.first_frame+ +$("time").value)/input.fps};if(masks.length)b.masks=masks;if(width)b.width=width;return b;}
// Live previews at the width the picture takes on the screen, at most 960 pixels.
const viewWidth=()=>Math.max(1,Math.min(960,input.width||960,Math.ceil($("stage").clientWidth*devicePixelRatio)||960));
// The server renders one request at a time and the one that arrives last cancels the others: the
// before picture is asked for only while no after picture is outstanding, so that it never cancels
// one, and the latest look is asked for again when an older request overtook it on the way.
let rendering=0,beforeWanted=false,beforeBusy=false;
async function show(full){const mine=++seq;$("status").textContent="rendering…";const t0=performance.now();let r;
  for(let tries=1;;++tries){++rendering;try{r=await api("/api/render",look(full?0:viewWidth()));}finally{--rendering;}
    if(r.status!==409||mine!==seq||tries===3)break;}
  if(!rendering&&beforeWanted)showBefore();
  if(mine!==seq&&!full)return;
  if(r.status===409){if(mine===seq)$("status").textContent="";return;}if(!r.ok){$("status").textContent=(await r.json()).error;return;}
  const url=URL.createObjectURL(await r.blob());const old=$("after").src;$("after").src=url;if(old.startsWith("blob:"))URL.revokeObjectURL(old);
  $("status").textContent=Math.round(performance.now()-t0)+" ms";}
async function showBefore(){beforeWanted=true;if(rendering||beforeBusy)return;beforeWanted=false;beforeBusy=true;
  const b=look(viewWidth());b.params={threshold_low:0,threshold_high:0};delete b.masks;let r;
  try{r=await api("/api/render",b);}finally{beforeBusy=false;}
  if(r.ok){const old=$("before").src;$("before").src=URL.createObjectURL(await r.blob());if(old.startsWith("blob:"))URL.revokeObjectURL(old);}
  else if(r.status===409)beforeWanted=true;
  if(beforeWanted&&!rendering)showBefore();}
function build(){const side=$("side");let box=side,group=null;
  for(const p of table){if(p.group!==group){group=p.group;if(group){box=document.createElement("fieldset");box.innerHTML="<legend></legend>";box.firstChild.textContent=(p.group_name&&p.group_name!==group?p.group_name+" — ":"")+group;side.appendChild(box);}else box=side;}
    const row=document.createElement("div");row.className="row";row.title=p.description+" ("+(p.range||"")+")";
    const name=document.createElement("span");name.textContent=p.name;row.appendChild(name);
    // A default may lie outside the slider's range (noise_seed's 0): the controls reach it too.
    const low=Math.min(p.min,p.default),high=Math.max(p.max,p.default);let ctl,num=null;
    if(p.type==="popup"){ctl=document.createElement("select");p.choices.forEach((c,i)=>{if(!c)return;const o=new Option(c,i+1);ctl.add(o);});}
    else if(p.type==="checkbox"){ctl=document.createElement("input");ctl.type="checkbox";}
    else if(p.type==="path"){ctl=document.createElement("input");ctl.type="number";ctl.min=0;ctl.step=1;}
    else{ctl=document.createElement("input");ctl.type="range";const lo=p.type==="angle"?-360:low,hi=p.type==="angle"?360:Math.min(high,p.type==="integer"?Math.max(p.default*4,1000):high);
      ctl.min=lo;ctl.max=hi;ctl.step=p.type==="float"?Math.pow(10,-Math.max(p.precision,1)):1;num=document.createElement("input");num.type="number";num.min=low;num.max=high;num.step=ctl.step;}
    ctl.id="p_"+p.name;row.appendChild(ctl);row.appendChild(num||document.createElement("span"));
    const reset=document.createElement("button");reset.textContent="↺";reset.title="reset to "+p.default_text;row.appendChild(reset);
    const d=document.createElement("small");d.textContent=p.label+" — "+p.description;row.appendChild(d);box.appendChild(row);
    const put=v=>{values[p.name]=v;if(ctl.type==="checkbox")ctl.checked=!!v;else ctl.value=v;if(num)num.value=v;};
    const set=(v,full)=>{put(v);show(full);};
    p.set=set;p.put=put;
    ctl.addEventListener("input",()=>set(ctl.type==="checkbox"?(ctl.checked?1:0):+ctl.value,false));
    ctl.addEventListener("change",()=>show(true));
    if(num)num.addEventListener("change",()=>{const v=+num.value;if(Number.isFinite(v))set(Math.min(high,Math.max(low,v)),true);});
    reset.addEventListener("click",()=>set(p.default,true));
    values[p.name]=p.default;if(ctl.type==="checkbox")ctl.checked=!!p.default;else ctl.value=p.default;if(num)num.value=p.default;}}
function redrawMasks(){const c=$("draw"),img=$("after");c.width=img.clientWidth;c.height=img.clientHeight;c.style.width=img.clientWidth+"px";c.style.height=img.clientHeight+"px";
  const g=c.getContext("2d");const s=c.width/input.width;g.strokeStyle="#ff0";g.lineWidth=2;
  const poly=(pts,close)=>{g.beginPath();pts.forEach((q,i)=>i?g.lineTo(q[0]*s,q[1]*s):g.moveTo(q[0]*s,q[1]*s));if(close)g.closePath();g.stroke();};
  for(const m of masks)poly(m.replace(/[MLZ]/g,"").trim().split(/\s+/).reduce((a,v,i)=>{if(i%2)a[a.length-1].push(+v);else a.push([+v]);return a;},[]),true);
  if(drawing)poly(drawing,false);}
async function start(){table=await (await api("/api/params")).json();input=await (await api("/api/input")).json();build();
  if(input.kind!=="image"){$("timebox").hidden=false;$("time").max=input.frame_count-1;}
  $("time").addEventListener("input",()=>{$("timetext").textContent=((input.first_frame+ +$("time").value)/input.fps).toFixed(2)+" s";show(false);showBefore();});
  $("time").addEventListener("change",()=>show(true));
  $("split").addEventListener("input",()=>{$("after").style.clipPath="inset(0 "+(100-$("split").value)+"% 0 0)";});
  document.addEventListener("keydown",e=>{if(e.key==="b")$("after").style.visibility="hidden";});
  document.addEventListener("keyup",e=>{if(e.key==="b")$("after").style.visibility="";});
  $("resetall").onclick=()=>{for(const p of table){values[p.name]=p.default;p.set(p.default,false);}masks=[];redrawMasks();show(true);};
  $("copy").onclick=async()=>{const text=await (await api("/api/command",look(0))).text();try{await navigator.clipboard.writeText(text.trim());}catch(e){}$("status").textContent=text;};
  $("preset").onclick=()=>{const a=document.createElement("a");a.href=URL.createObjectURL(new Blob([JSON.stringify(look(0).params,null,2)],{type:"application/json"}));a.download="look.json";a.click();};
  // A preset as "Save preset" writes it (or as --preset takes it): every other control back to its default.
  $("load").onclick=()=>$("presetfile").click();
  $("presetfile").addEventListener("change",async()=>{const file=$("presetfile").files[0];$("presetfile").value="";if(!file)return;let preset;
    try{preset=JSON.parse(await file.text());}catch(e){$("status").textContent="not a preset: "+e.message;return;}
    if(!preset||typeof preset!=="object"||Array.isArray(preset)){$("status").textContent="not a preset: expected an object of NAME: VALUE";return;}
    const unknown=Object.keys(preset).filter(name=>!table.some(p=>p.name===name));
    for(const p of table){let v=p.name in preset?preset[p.name]:p.default;
      if(p.type==="popup"&&typeof v==="string"&&p.choices.includes(v.toLowerCase()))v=p.choices.indexOf(v.toLowerCase())+1;
      else if(p.type==="checkbox")v=[true,1,"1","on","true","yes"].includes(typeof v==="string"?v.toLowerCase():v)?1:0;
      v=+v;p.put(Number.isFinite(v)?v:p.default);}
    show(true);if(unknown.length)$("status").textContent="not in this page: "+unknown.join(", ");});
  $("full").onclick=async()=>{$("status").textContent="rendering full size…";++rendering;let r;try{r=await api("/api/render",look(0));}finally{--rendering;}
    if(!rendering&&beforeWanted)showBefore();if(!r.ok){$("status").textContent=r.status===409?"":(await r.json()).error;return;}$("status").textContent="";const a=document.createElement("a");a.href=URL.createObjectURL(await r.blob());
    a.download=decodeURIComponent((r.headers.get("Content-Disposition")||"").split("''")[1]||"");a.click();};
  $("mask").onclick=()=>{drawing=[];$("draw").style.cursor="crosshair";$("status").textContent="click points; double-click closes the mask";};
  $("clearmask").onclick=()=>{masks=[];drawing=null;values.mask=0;show(true);redrawMasks();};
  // A double-click's second click only closes the mask: its point came with the first. Outside mask
  // drawing, a click puts the centre of circles, rays and the spiral there (percent of the frame).
  const centred=()=>[2,3,4].includes(values.path);
  $("draw").addEventListener("click",e=>{if(e.detail>1)return;const r=$("draw").getBoundingClientRect();
    if(!drawing){if(!centred()||!r.width||!r.height)return;
      for(const [name,share] of [["centre_x",(e.clientX-r.left)/r.width],["centre_y",(e.clientY-r.top)/r.height]])table.find(p=>p.name===name).put(Math.round(share*1000)/10);
      show(true);return;}const s=input.width/r.width;drawing.push([Math.round((e.clientX-r.left)*s),Math.round((e.clientY-r.top)*s)]);redrawMasks();});
  $("draw").addEventListener("dblclick",()=>{if(!drawing||drawing.length<3)return;masks.push("M "+drawing.map(q=>q.join(" ")).join(" L ")+" Z");drawing=null;
    const m=table.find(p=>p.name==="mask");if(m)m.set(masks.length,true);redrawMasks();});
  $("after").addEventListener("load",redrawMasks);
  show(true);showBefore();}
start();
</script></body></html>
)PAGE";

}  // namespace korvane::cli

"""What the QC page carries inline: its style sheet, its one script (sorting,
filtering, opening a run's detail, remembered between visits) and the
content security policy that lets only that script run."""

from __future__ import annotations

import base64
import hashlib


CSS = """
body{font:14px/1.45 system-ui,-apple-system,"Segoe UI",Roboto,sans-serif;margin:24px;color:#1d232a;background:#fafbfc}
h1{font-size:20px;margin:0 0 4px}
h2{font-size:15px;margin:0 0 6px}
.meta{color:#5b6673;margin-bottom:12px}
.counts{display:flex;gap:12px;margin:12px 0 16px;flex-wrap:wrap}
.count{padding:8px 14px;border-radius:8px;min-width:86px;text-align:center;font-weight:600;border:1px solid;cursor:pointer;user-select:none}
.count b{display:block;font-size:24px}
.count input{margin:0 4px 0 0;vertical-align:middle}
.count.PASS{background:#e9f7ef;border-color:#9fd8b4;color:#17643a}
.count.WARN{background:#fff6e0;border-color:#f1cf7a;color:#7a5400}
.count.FLAG{background:#fdecec;border-color:#efa3a3;color:#8f1d1d}
.count.FAILED,.count.SKIPPED{background:#eef0f3;border-color:#b8c0ca;color:#333c47}
.count.off{opacity:.45}
.panel{background:#fff;border:1px solid #d9dee4;border-radius:8px;padding:10px 16px;margin-bottom:16px}
.panel ul{margin:0;padding-left:18px}
.failures{border-color:#efa3a3}.failures h2{color:#8f1d1d}
.controls{display:flex;gap:14px;align-items:center;flex-wrap:wrap;margin:0 0 10px}
.controls label{color:#4a5360}
.controls select,.controls input[type=search]{font:inherit;padding:2px 6px}
#shown{color:#5b6673}
button{white-space:nowrap;font:inherit;font-size:12px;padding:1px 8px;border:1px solid #b8c0ca;border-radius:4px;background:#f4f6f8;cursor:pointer}
table{border-collapse:collapse;width:100%;background:#fff;box-shadow:0 1px 2px rgba(0,0,0,.06)}
th,td{padding:7px 8px;border-bottom:1px solid #e3e7ec;text-align:left;vertical-align:top}
th{background:#f0f3f6;font-weight:600;position:sticky;top:0;z-index:1}
th button{border:0;background:none;font-weight:600;font-size:14px;padding:0;color:inherit}
th button::after{content:" \\2195";color:#9aa4af}
th[aria-sort=ascending] button::after{content:" \\2191";color:#1d232a}
th[aria-sort=descending] button::after{content:" \\2193";color:#1d232a}
td.num{min-width:235px}
.lead .val,.lead .needs{white-space:nowrap}
.status{display:inline-block;padding:1px 8px;border-radius:10px;font-weight:700;font-size:12px}
.status.PASS{background:#d4f1df;color:#17643a}
.status.WARN{background:#ffe9b0;color:#7a5400}
.status.FLAG{background:#f9caca;color:#8f1d1d}
.status.FAILED{background:#dfe3e8;color:#333c47}
tr.FLAG td:first-child{border-left:4px solid #d64545}
tr.WARN td:first-child{border-left:4px solid #e0a800}
tr.PASS td:first-child{border-left:4px solid #3aa76d}
tr.FAILED td:first-child{border-left:4px solid #7b8794}
td:first-child .more{display:block;margin-top:6px}
.lead{margin-bottom:4px}
.lead .name{color:#5b6673}
.lead .needs{color:#5b6673;font-size:12px}
.lead.short .val{color:#7a5400;font-weight:700}
.lead.decides .name{color:#1d232a;font-weight:600}
.bar{display:inline-block;width:48px;height:8px;background:#e3e7ec;border-radius:4px;vertical-align:middle;margin-left:6px;position:relative}
.bar i{position:absolute;left:0;top:0;bottom:0;border-radius:4px;background:#5b8def}
.short .bar i{background:#e0a800}
.bar u{position:absolute;top:-3px;bottom:-3px;width:2px;background:#1d232a}
.fix b{color:#8f1d1d}
td.run code{white-space:nowrap}
code,pre{font-family:ui-monospace,Menlo,Consolas,monospace;font-size:13px}
pre.cmd{background:#f4f6f8;border:1px solid #d9dee4;border-radius:4px;padding:6px 8px;margin:4px 0;white-space:pre;overflow-x:auto}
ul.notes{margin:0;padding-left:16px;color:#4a5360;font-size:13px}
td.notes{min-width:220px}
td.notes li{display:-webkit-box;-webkit-line-clamp:3;-webkit-box-orient:vertical;overflow:hidden}
td.finding{min-width:190px}
.table-finding{margin-top:4px;color:#7a5400}
td.finding .copy{display:block;margin-top:6px}
a{color:#2057c4}
img.thumb{width:120px;border:1px solid #d0d6dd;border-radius:4px}
tr.detail>td{background:#f7f9fb;padding:12px 16px 16px 20px}
.js tr.detail{display:none}
.js tbody.open tr.detail{display:table-row}
.cols{display:flex;gap:24px;flex-wrap:wrap;align-items:flex-start}
.cols>div{min-width:260px;flex:1}
.cols>div.pic{flex:0 0 auto}
img.picture{max-width:560px;width:100%;border:1px solid #d0d6dd;border-radius:4px;background:#fff}
dl{display:grid;grid-template-columns:max-content 1fr;gap:2px 12px;margin:0}
dt{color:#5b6673}dd{margin:0}
h3{font-size:13px;margin:8px 0 2px;color:#4a5360}
.detail .lead{margin-top:4px}
h2.gap{margin-top:10px}
.legend{color:#5b6673;font-size:12px;margin:8px 0 20px}
"""

SCRIPT = r"""
(function(){
  document.documentElement.classList.add('js');
  var table=document.getElementById('runs');
  if(!table)return;
  var runs=[].slice.call(table.tBodies);
  var statuses=[].slice.call(document.querySelectorAll('input[name=status]'));
  var sub=document.getElementById('f-sub'), ses=document.getElementById('f-ses'), text=document.getElementById('f-text');
  var heads=[].slice.call(table.tHead.querySelectorAll('th[data-sort]'));
  var sort={key:'rank',dir:1};
  var collator=new Intl.Collator(undefined,{numeric:true});
  function value(tb,key){
    var v=tb.dataset[key]||'';
    return (key==='rank'||key==='lead')?(v===''?Infinity:parseFloat(v)):v;
  }
  function compare(a,b){
    var x=value(a,sort.key), y=value(b,sort.key), c;
    if(typeof x==='number'){c=x<y?-1:x>y?1:0;}else{c=collator.compare(x,y);}
    if(c!==0)return c*sort.dir;
    // Ties keep the worst-first order whichever way the column runs.
    c=value(a,'rank')-value(b,'rank');
    if(c===0){x=value(a,'lead');y=value(b,'lead');c=x<y?-1:x>y?1:0;}
    return c||collator.compare(a.dataset.name,b.dataset.name);
  }
  function apply(){
    var want={};statuses.forEach(function(s){want[s.value]=s.checked;s.parentNode.classList.toggle('off',!s.checked);});
    var needle=text.value.trim().toLowerCase(), shown=0;
    runs.sort(compare).forEach(function(tb){
      var ok=want[tb.dataset.status]!==false&&(!sub.value||tb.dataset.sub===sub.value)&&
             (!ses.value||tb.dataset.ses===ses.value)&&(!needle||tb.dataset.name.toLowerCase().indexOf(needle)>=0);
      tb.hidden=!ok;if(ok)shown++;table.appendChild(tb);
    });
    heads.forEach(function(h){h.setAttribute('aria-sort',h.dataset.sort===sort.key?(sort.dir>0?'ascending':'descending'):'none');});
    document.getElementById('shown').textContent=shown+' of '+runs.length+' runs shown';
    var state=['sort='+(sort.dir<0?'-':'')+sort.key];
    var off=statuses.filter(function(s){return !s.checked;}).map(function(s){return s.value;});
    if(off.length)state.push('hide='+off.join(','));
    if(sub.value)state.push('sub='+encodeURIComponent(sub.value));
    if(ses.value)state.push('ses='+encodeURIComponent(ses.value));
    if(needle)state.push('q='+encodeURIComponent(needle));
    history.replaceState(null,'','#'+state.join('&'));
  }
  // The view lives in the address's fragment, so a filtered view can be bookmarked or sent.
  function restore(){
    location.hash.replace(/^#/,'').split('&').forEach(function(part){
      var i=part.indexOf('='); if(i<0)return;
      var k=part.slice(0,i), v=decodeURIComponent(part.slice(i+1));
      if(k==='sort'){sort.dir=v.charAt(0)==='-'?-1:1;v=v.replace(/^-/,'');
        if(v==='rank'||heads.some(function(h){return h.dataset.sort===v;}))sort.key=v;}
      else if(k==='hide'){var hide=v.split(',');statuses.forEach(function(s){s.checked=hide.indexOf(s.value)<0;});}
      else if(k==='sub'||k==='ses'){var box=k==='sub'?sub:ses;
        if([].some.call(box.options,function(o){return o.value===v;}))box.value=v;}
      else if(k==='q'){text.value=v;}
    });
  }
  heads.forEach(function(h){h.querySelector('button').addEventListener('click',function(){
    if(sort.key===h.dataset.sort){sort.dir=-sort.dir;}else{sort.key=h.dataset.sort;sort.dir=1;}
    apply();
  });});
  statuses.concat([sub,ses]).forEach(function(el){el.addEventListener('change',apply);});
  text.addEventListener('input',apply);
  document.getElementById('f-reset').addEventListener('click',function(){
    statuses.forEach(function(s){s.checked=true;});sub.value='';ses.value='';text.value='';sort={key:'rank',dir:1};apply();
  });
  function open(tb,on){tb.classList.toggle('open',on);var b=tb.querySelector('button.more');
    if(b){b.setAttribute('aria-expanded',on);b.textContent=on?'hide details':'details';}}
  runs.forEach(function(tb){var b=tb.querySelector('button.more');
    if(b)b.addEventListener('click',function(){open(tb,!tb.classList.contains('open'));});});
  document.getElementById('f-open').addEventListener('click',function(){
    var on=runs.some(function(tb){return !tb.hidden&&!tb.classList.contains('open');});
    runs.forEach(function(tb){if(!tb.hidden)open(tb,on);});
  });
  [].forEach.call(document.querySelectorAll('button.copy'),function(b){
    b.addEventListener('click',function(){
      var pre=document.getElementById(b.dataset.target), done=function(){b.textContent='copied';};
      if(navigator.clipboard&&window.isSecureContext){navigator.clipboard.writeText(pre.textContent).then(done,function(){});}
      else{var r=document.createRange();r.selectNodeContents(pre);var s=getSelection();s.removeAllRanges();s.addRange(r);
        b.textContent='selected: press Ctrl+C';}
    });
  });
  restore();apply();
})();
"""


def _script_hash(script: str) -> str:
    return "'sha256-" + base64.b64encode(hashlib.sha256(script.encode("utf-8")).digest()).decode("ascii") + "'"


# The page fetches nothing and runs only its own script: whatever a file name
# or a report smuggles in, the browser refuses any request but the folder's
# own pictures, and any script whose hash is not this one's.
CSP = ("default-src 'none'; img-src 'self' file: data:; style-src 'unsafe-inline'; "
       f"script-src {_script_hash(SCRIPT)}; base-uri 'none'; form-action 'none'")
